# The cross build for Debian's arm64 (./build.sh test-arch arm64): Debian's cross
# compiler finds the target's libraries in their multiarch directories, and
# qemu-user runs what the build and CTest run of the target's binaries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(DUNEHOPPER_DEB_ARCH arm64)
