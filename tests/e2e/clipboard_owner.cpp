// Another program on the same X display that owns the clipboard: it offers a
// text as text/plain together with the clipboard managers' hint
// "x-kde-passwordManagerHint: secret", as the application's own copies do,
// and answers every request for them only after a delay.
//
// Usage: clipboard_owner TEXT DELAY_MS
// Prints "owner" once it owns the clipboard and "asked <what>" for every
// request it answers (TARGETS or a format). Runs until it is ended by a
// signal. (Whether it still owns the clipboard is the X server's to say: Qt
// does not notice a clipboard that another client cleared.)

#include <csignal>
#include <cstdlib>
#include <iostream>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QStringList>
#include <QThread>

namespace {

class slow_mime_data : public QMimeData {
public:
  explicit slow_mime_data(unsigned long delay_ms) : delay_ms(delay_ms) {}

  QStringList formats() const override {
    answer("TARGETS");
    return QMimeData::formats();
  }

protected:
  QVariant retrieveData(const QString& format, QVariant::Type type) const override {
    answer(format);
    return QMimeData::retrieveData(format, type);
  }

private:
  void answer(const QString& what) const {
    std::cout << "asked " << what.toStdString() << std::endl;
    QThread::msleep(delay_ms);
  }

  unsigned long delay_ms;
};

} // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::cerr << "usage: clipboard_owner TEXT DELAY_MS\n";
    return 2;
  }
  QGuiApplication app(argc, argv);
  auto data = new slow_mime_data(std::strtoul(argv[2], nullptr, 10));
  data->setText(QString::fromUtf8(argv[1]));
  data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
  auto clipboard = QGuiApplication::clipboard();
  clipboard->setMimeData(data, QClipboard::Clipboard);
  if (!clipboard->ownsClipboard()) {
    std::cerr << "could not take the clipboard\n";
    return 1;
  }
  std::cout << "owner" << std::endl;
  std::signal(SIGTERM, [](int) { std::_Exit(0); });
  return app.exec();
}
