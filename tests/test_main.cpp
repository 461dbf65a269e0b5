// Test entry: Qt Serial Port wants an application object even when used blocking. The tests of
// a build without Qt need none.
#include <gtest/gtest.h>

#if defined(KELVANE_NO_QT)
struct App {
  App(int&, char**) {}
};
#elif defined(KELVANE_GUI_TESTS)
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
