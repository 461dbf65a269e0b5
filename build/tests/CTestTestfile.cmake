# CMake generated Testfile for 
# Source directory: /work/main/tests
# Build directory: /work/main/build/tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[dwl12pclib_test]=] "/work/main/build/tests/dwl12pclib_test")
set_tests_properties([=[dwl12pclib_test]=] PROPERTIES  ENVIRONMENT "KELVANE_TEST=1" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;37;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[dwl52display_test]=] "/work/main/build/tests/dwl52display_test")
set_tests_properties([=[dwl52display_test]=] PROPERTIES  ENVIRONMENT "KELVANE_TEST=1" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;37;add_test;/work/main/tests/CMakeLists.txt;0;")
add_test([=[qt_rs232_test]=] "/work/main/build/tests/qt_rs232_test")
set_tests_properties([=[qt_rs232_test]=] PROPERTIES  ENVIRONMENT "KELVANE_TEST=1" _BACKTRACE_TRIPLES "/work/main/tests/CMakeLists.txt;37;add_test;/work/main/tests/CMakeLists.txt;0;")
