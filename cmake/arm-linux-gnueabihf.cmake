# Cross build for 32-bit ARM Linux with hardware floating point (Debian's armhf, wheel tag armv7l),
# with Debian's cross compiler (package g++-arm-linux-gnueabihf). The target interpreter's headers
# come in as Python_INCLUDE_DIR; scripts/release shows the whole call.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
