#include "forms/qt/text_listeners.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>

namespace forms::qt {

namespace {

const QString kRegistry = QStringLiteral("org.a11y.atspi.Registry");
const QString kRegistryPath = QStringLiteral("/org/a11y/atspi/registry");

}  // namespace

TextListeners &TextListeners::Instance() {
  // Lives to the end of the process, as the bridge's own connection does.
  static auto *instance = new TextListeners();
  return *instance;
}

TextListeners::TextListeners() {
  // Where the bridge finds the accessibility bus: the variable, else the
  // session bus's launcher.
  const QString address = qEnvironmentVariable("AT_SPI_BUS_ADDRESS");
  if (!address.isEmpty()) {
    Watch(address);
    return;
  }
  QDBusConnection session = QDBusConnection::sessionBus();
  if (!session.isConnected()) return;
  const QDBusMessage ask = QDBusMessage::createMethodCall(
      QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
      QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
  auto *call = new QDBusPendingCallWatcher(session.asyncCall(ask), this);
  connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *done) {
    done->deleteLater();
    const QDBusPendingReply<QString> reply = *done;
    if (!reply.isError()) Watch(reply.value());
  });
}

void TextListeners::Watch(const QString &address) {
  bus_ = QDBusConnection::connectToBus(address, QStringLiteral("tessavo-text-listeners"));
  if (!bus_.isConnected()) return;
  // Signals first, so that nobody registers unseen between the answer and them.
  bus_.connect(kRegistry, kRegistryPath, kRegistry, QStringLiteral("EventListenerRegistered"), this,
               SLOT(Registered(QString, QString)));
  bus_.connect(kRegistry, kRegistryPath, kRegistry, QStringLiteral("EventListenerDeregistered"),
               this, SLOT(Deregistered(QString, QString)));
  const QDBusMessage ask = QDBusMessage::createMethodCall(kRegistry, kRegistryPath, kRegistry,
                                                          QStringLiteral("GetRegisteredEvents"));
  auto *call = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
  connect(call, &QDBusPendingCallWatcher::finished, this, &TextListeners::TakeRegistered);
}

void TextListeners::TakeRegistered(QDBusPendingCallWatcher *call) {
  call->deleteLater();
  const QDBusMessage reply = call->reply();
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
  const QVariant events = reply.arguments().constFirst();
  if (!events.canConvert<QDBusArgument>()) return;
  const QDBusArgument list = events.value<QDBusArgument>();
  if (list.currentSignature() != QLatin1String("a(ss)")) return;
  list.beginArray();
  while (!list.atEnd()) {
    QString bus;
    QString event;
    list.beginStructure();
    list >> bus >> event;
    list.endStructure();
    Registered(bus, event);
  }
  list.endArray();
  known_ = true;
}

void TextListeners::Registered(const QString &bus, const QString &event) {
  if (CoversTextInsert(event)) listeners_.insert(bus + QLatin1Char(' ') + event);
}

void TextListeners::Deregistered(const QString &bus, const QString &event) {
  listeners_.remove(bus + QLatin1Char(' ') + event);
}

bool TextListeners::CoversTextInsert(const QString &event) {
  // Names come as "object:text-changed:insert" or "Object:TextChanged:Insert";
  // a shorter name covers everything under it.
  static const QStringList kInsert = {QStringLiteral("object"), QStringLiteral("textchanged"),
                                      QStringLiteral("insert")};
  QString name = event.toLower();
  name.remove(QLatin1Char('-'));
  QStringList parts = name.split(QLatin1Char(':'));
  while (!parts.isEmpty() && parts.constLast().isEmpty()) parts.removeLast();
  for (int i = 0; i < parts.size() && i < kInsert.size(); ++i) {
    if (parts[i] != kInsert[i]) return false;
  }
  return true;
}

}  // namespace forms::qt
