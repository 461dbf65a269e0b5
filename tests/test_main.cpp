// Test entry: Qt Serial Port wants an application object even when used blocking.
#include <gtest/gtest.h>

#ifdef KELVANE_GUI_TESTS
#include <QApplication>
using App = QApplication;
#else
#include <QCoreApplication>
using App = QCoreApplication;
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  App app(argc, argv);
  return RUN_ALL_TESTS();
}
