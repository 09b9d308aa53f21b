#pragma once

#include "ref.hpp"
