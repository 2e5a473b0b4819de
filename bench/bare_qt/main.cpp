// A QApplication with one QLabel as its window: the launch, memory and
// idle-CPU baseline of a Qt widgets program.

#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QLabel label(QStringLiteral("bare Qt"));
  label.setWindowTitle(QStringLiteral("Bare Qt baseline"));
  label.resize(400, 300);
  label.show();
  return app.exec();
}
