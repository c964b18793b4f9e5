# The cross build for Debian's riscv64 (./build.sh test-arch riscv64): Debian's cross
# compiler finds the target's libraries in their multiarch directories, and
# qemu-user runs what the build and CTest run of the target's binaries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(CMAKE_CXX_COMPILER riscv64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-riscv64)
set(DUNEHOPPER_DEB_ARCH riscv64)
