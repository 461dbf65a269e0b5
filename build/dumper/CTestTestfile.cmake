# CMake generated Testfile for 
# Source directory: /work/main/dumper
# Build directory: /work/main/build/dumper
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
