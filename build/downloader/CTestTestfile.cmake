# CMake generated Testfile for 
# Source directory: /work/main/downloader
# Build directory: /work/main/build/downloader
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
