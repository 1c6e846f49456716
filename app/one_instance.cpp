#include "app/one_instance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/ascii.h"
#include "util/paths.h"
#include "util/trace.h"

namespace kalvex {

namespace {

TOneInstance* gInstance = nullptr;
// The running window's greeting: it takes hand-overs, or the new start runs
// on its own ("Only allow one instance" is off there); then its answer.
constexpr char kTakes = 'T';
constexpr char kOwnWay = 'O';
constexpr char kAck = 'K';
// A listener that is alive accepts at once; this only bounds a wedged one.
constexpr int kConnectMs = 1000;
constexpr int kRetryMs = 20;

int32_t ReadInt32(const char* at) {
  int32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void WriteInt32(char* at, int32_t v) { std::memcpy(at, &v, sizeof v); }

// A folder of this user's alone: a real folder (not a link), owned by the
// user, that nobody else may read, write or enter.
bool PrivateFolder(const std::string& dir) {
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// Waits for one byte from the socket; 0 when none came in time.
char ReadByte(QLocalSocket& socket, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (socket.bytesAvailable() < 1) {
    const int left = timeoutMs - static_cast<int>(t.elapsed());
    if (left <= 0 || !socket.waitForReadyRead(left)) break;
  }
  char c = 0;
  return socket.read(&c, 1) == 1 ? c : 0;
}

}  // namespace

std::array<char, kHandoverSize> EncodeParameters(const QStringList& parameters) {
  std::array<char, kHandoverSize> out{};
  const int count = std::min<int>(static_cast<int>(parameters.size()), kMaxHandedParameters);
  WriteInt32(out.data(), count);
  for (int i = 0; i < count; ++i) {
    const QByteArray bytes = parameters[i].toLocal8Bit().left(kMaxParameterLength);
    std::memcpy(out.data() + 4 + i * kSlotSize, bytes.constData(), static_cast<size_t>(bytes.size()));
  }
  return out;
}

QStringList DecodeParameters(const char* handover) {
  QStringList list;
  int32_t count = ReadInt32(handover);
  if (count < 0 || count > kMaxHandedParameters) count = 0;
  for (int i = 0; i < count; ++i) {
    const char* slot = handover + 4 + i * kSlotSize;
    list << QString::fromLocal8Bit(slot, static_cast<qsizetype>(strnlen(slot, kMaxParameterLength)));
  }
  return list;
}

std::string PrivateInstanceFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && PrivateFolder(runtime)) return runtime;
  // Never a folder that anybody can write to: one of our own inside it.
  const std::string own = QDir::tempPath().toStdString() + "/kalvex-" + std::to_string(::getuid());
  if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) return {};
  if (PrivateFolder(own)) return own;
  TraceF("single instance: %s is not this user's own folder, running alone", own.c_str());
  return {};
}

TOneInstance::TOneInstance(std::string baseName, QObject* parent) : QObject(parent), base_(std::move(baseName)) {
  if (gInstance) throw EOneInstance("Drop only one of these components on your form !");
  gInstance = this;
  // The program file's name as it is, extension and letter case included.
  if (base_.empty()) base_ = kalvex::BaseName(ProgramPath());
}

TOneInstance::~TOneInstance() {
  StopListening();
  gInstance = nullptr;
}

QString TOneInstance::ServerName() const {
  const std::string folder = folder_.empty() ? PrivateInstanceFolder() : folder_;
  return folder.empty() ? QString() : QString::fromStdString(folder + "/" + base_ + ".sock");
}

QString TOneInstance::LockName() const {
  const std::string folder = folder_.empty() ? PrivateInstanceFolder() : folder_;
  return folder.empty() ? QString() : QString::fromStdString(folder + "/" + base_ + ".lock");
}

bool TOneInstance::Start(const QStringList& parameters) {
  folder_ = PrivateInstanceFolder();
  if (folder_.empty()) return false;
  lockFd_ = ::open(LockName().toStdString().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    TraceF("single instance: no lock file (%s), running alone", std::strerror(errno));
    return false;
  }
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
      StartListening();
      return false;
    }
    // Another window holds the lock: it listens, or is about to.
    const int handed = HandOver(parameters);
    if (handed >= 0 || waited.elapsed() >= TimeoutMs) {
      ::close(lockFd_);
      lockFd_ = -1;
      handedOver_ = handed > 0;
      return handedOver_;
    }
    QThread::msleep(kRetryMs);
  }
}

void TOneInstance::StopListening() {
  if (server_) {
    server_->close();
    delete server_;
    server_ = nullptr;
  }
  if (lockFd_ >= 0) {
    ::close(lockFd_);  // the lock goes with it
    lockFd_ = -1;
  }
}

// With the lock held: a socket left there by a window that died is stale.
bool TOneInstance::StartListening() {
  const QString name = ServerName();
  QLocalServer::removeServer(name);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name)) {
    TraceF("single instance: cannot listen on %s: %s", name.toStdString().c_str(),
           server_->errorString().toStdString().c_str());
    StopListening();  // the next start need not wait for a listener that never comes
    return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] { HandleConnection(); });
  return true;
}

// 1: handed over; 0: this start runs on its own (the running window says so,
// or does not answer in time); -1: nobody listens (yet).
int TOneInstance::HandOver(const QStringList& parameters) {
  QLocalSocket socket;
  socket.connectToServer(ServerName());
  if (!socket.waitForConnected(kConnectMs)) return -1;
  // Nothing is sent before the greeting: a window that hangs never gets
  // the parameters of a start that gave up waiting and shows its own.
  const char greeting = ReadByte(socket, TimeoutMs);
  if (greeting != kTakes) {
    if (greeting == 0) TraceF("single instance: no answer from the running window, starting normally");
    socket.abort();
    return greeting == kOwnWay || greeting == 0 ? 0 : -1;
  }
  const std::array<char, kHandoverSize> handover = EncodeParameters(parameters);
  socket.write(handover.data(), static_cast<qint64>(handover.size()));
  socket.flush();
  const bool taken = ReadByte(socket, TimeoutMs) == kAck;
  socket.abort();
  if (!taken) TraceF("single instance: the running window did not take the parameters, starting normally");
  return taken ? 1 : 0;
}

void TOneInstance::HandleConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(active_ ? &kTakes : &kOwnWay, 1);
    socket->flush();
    if (!active_) {
      socket->disconnectFromServer();
      continue;
    }
    auto buffer = std::make_shared<QByteArray>();
    // A peer that sends nothing is dropped.
    QTimer::singleShot(TimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
      *buffer += socket->read(kHandoverSize - buffer->size());
      if (buffer->size() < kHandoverSize) return;
      const QStringList parameters = DecodeParameters(buffer->constData());
      // Taken: the other start may end now. Loading and sending follow here,
      // however long a send takes.
      socket->write(&kAck, 1);
      socket->flush();
      socket->disconnectFromServer();
      QTimer::singleShot(0, this, [this, parameters] {
        if (showOnNewInstance_ && BringToFront) BringToFront();
        if (OnInstanceStarted) OnInstanceStarted(*this, parameters);
      });
    });
  }
}

}  // namespace kalvex
