// Watches the program's widgets over the accessibility bus, as a screen
// reader does, and prints what it sees with the time (CLOCK_MONOTONIC, ns).
//
//   a11y_watch BUS_ADDRESS listen PATH
//       Registers for text changes and prints, for the object PATH:
//         ready                 the listener is registered
//         probe K T             the K-th probe byte '~' was inserted (K from 0)
//         reset T AT            text inserted before the end seen so far, or
//                               deleted: the box was emptied
//   a11y_watch BUS_ADDRESS poll SERVICE PATH name|count PERIOD_US
//       Asks for the object's accessible name or its character count every
//       PERIOD_US and prints each new answer as `value T_ASKED T_ANSWERED V`
//       (the answer was true at some time between the two). Until stdin
//       closes. Polling sends nothing the program would not send anyway, so
//       a flood of text does not also flood the bus.
//
// In C++ so that it keeps up with a flood and its own pauses stay out of
// the figures.
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace {

std::int64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

class Listener : public QObject {
  Q_OBJECT

 public:
  explicit Listener(QString path) : path_(std::move(path)) {}

  Q_SLOT void TextChanged(const QDBusMessage &message) {
    const std::int64_t t = Now();
    if (message.path() != path_) return;
    const QList<QVariant> args = message.arguments();
    if (args.size() < 4) return;
    const QString kind = args[0].toString();
    const qint64 at = args[1].toLongLong();
    const qint64 length = args[2].toLongLong();
    const bool deleted = kind.startsWith(QLatin1String("delete"));
    if (deleted || at < end_) {
      std::printf("reset %lld %lld\n", static_cast<long long>(t), static_cast<long long>(at));
      end_ = deleted ? at : at + length;
      return;
    }
    if (!kind.startsWith(QLatin1String("insert"))) return;
    end_ = at + length;
    const QString text = qvariant_cast<QDBusVariant>(args[3]).variant().toString();
    for (const QChar c : text) {
      if (c == QLatin1Char('~')) {
        std::printf("probe %lld %lld\n", static_cast<long long>(probes_++),
                    static_cast<long long>(t));
      }
    }
  }

 private:
  QString path_;
  qint64 end_ = 0;
  long long probes_ = 0;
};

namespace {

int Listen(QDBusConnection &bus, const QString &path) {
  Listener listener(path);
  if (!bus.connect(QString(), QString(), "org.a11y.atspi.Event.Object", "TextChanged", &listener,
                   SLOT(TextChanged(QDBusMessage)))) {
    std::fprintf(stderr, "cannot listen for text changes\n");
    return 1;
  }
  // Toolkits send events only for what the registry says someone wants.
  QDBusMessage call =
      QDBusMessage::createMethodCall("org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                                     "org.a11y.atspi.Registry", "RegisterEvent");
  call << QString("object:text-changed") << QStringList() << QString();
  const QDBusMessage reply = bus.call(call);
  if (reply.type() == QDBusMessage::ErrorMessage) {
    std::fprintf(stderr, "the registry refused: %s\n", qPrintable(reply.errorMessage()));
    return 1;
  }
  std::printf("ready\n");
  return QCoreApplication::exec();
}

int Poll(QDBusConnection &bus, const QString &service, const QString &path, const QString &what,
         long periodUs) {
  const bool count = what == QLatin1String("count");
  QDBusMessage ask =
      QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
  ask << QString(count ? "org.a11y.atspi.Text" : "org.a11y.atspi.Accessible")
      << QString(count ? "CharacterCount" : "Name");
  // Until the script closes our stdin.
  static std::atomic<bool> stop{false};
  std::thread([] {
    char c;
    while (read(0, &c, 1) > 0) {
    }
    stop = true;
  }).detach();
  QString last;
  bool first = true;
  std::int64_t next = Now();
  while (!stop) {
    const std::int64_t asked = Now();
    const QDBusMessage reply = bus.call(ask, QDBus::Block, 10000);
    const std::int64_t answered = Now();
    if (reply.type() == QDBusMessage::ErrorMessage) {
      std::fprintf(stderr, "%s\n", qPrintable(reply.errorMessage()));
      return 1;
    }
    const QVariant v = qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant();
    const QString value = v.toString();
    if (first || value != last) {
      std::printf("value %lld %lld %s\n", static_cast<long long>(asked),
                  static_cast<long long>(answered), qPrintable(value));
      last = value;
      first = false;
    }
    next += periodUs * 1000;
    const std::int64_t left = next - Now();
    if (left > 0) {
      timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      nanosleep(&ts, nullptr);
    } else {
      next = Now();
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const bool listen = argc == 4 && std::strcmp(argv[2], "listen") == 0;
  const bool poll = argc == 7 && std::strcmp(argv[2], "poll") == 0;
  if (!listen && !poll) {
    std::fprintf(stderr,
                 "usage: a11y_watch BUS_ADDRESS listen PATH\n"
                 "       a11y_watch BUS_ADDRESS poll SERVICE PATH name|count PERIOD_US\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), "a11y");
  if (!bus.isConnected()) {
    std::fprintf(stderr, "cannot reach the accessibility bus: %s\n",
                 qPrintable(bus.lastError().message()));
    return 1;
  }
  if (listen) return Listen(bus, QString::fromLocal8Bit(argv[3]));
  return Poll(bus, QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]),
              QString::fromLocal8Bit(argv[5]), std::atol(argv[6]));
}

#include "a11y_watch.moc"
