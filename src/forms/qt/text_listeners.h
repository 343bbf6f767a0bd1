// Whether an assistive technology listens for inserted text. Once an
// accessibility bus is there, the toolkit's bridge is active whether or not
// anybody listens, and it drops an event nobody asked for only after the
// event has been built, so a log would turn every byte of a flood into
// UTF-16 for nothing. This watches the AT-SPI registry, as the bridge does:
// the listeners it knows, and those that register or go later.
//
// Threads: the main thread only (D-Bus replies and signals are delivered
// there). Until the registry has answered, or when it cannot be reached,
// InsertsHeard answers true: the log announces as it always did.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <QString>

class QDBusPendingCallWatcher;

namespace forms::qt {

class TextListeners : public QObject {
  Q_OBJECT

 public:
  // The one watcher, made on first use (look only while
  // QAccessible::isActive(): it connects to the accessibility bus).
  static TextListeners &Instance();
  bool InsertsHeard() const { return !known_ || !listeners_.isEmpty(); }

  // An event name as a listener registers it ("object:text-changed",
  // "object:", "" for all) covers the text-inserted event.
  static bool CoversTextInsert(const QString &event);

  // The registry's signals.
  Q_INVOKABLE void Registered(const QString &bus, const QString &event);
  Q_INVOKABLE void Deregistered(const QString &bus, const QString &event);

 private:
  TextListeners();
  void Watch(const QString &address);
  void TakeRegistered(QDBusPendingCallWatcher *call);

  QDBusConnection bus_{QString()};
  QSet<QString> listeners_;  // "bus event" of those that cover text inserts
  bool known_ = false;       // the registry has answered
};

}  // namespace forms::qt
