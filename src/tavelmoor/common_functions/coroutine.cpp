#include "coroutine.hpp"
