# CMake generated Testfile for 
# Source directory: /work/main/emulator
# Build directory: /work/main/build/emulator
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
