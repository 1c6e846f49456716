#include "app/one_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "util/ascii.h"
#include "util/paths.h"
#include "util/trace.h"

namespace kalvex {

namespace {

TOneInstance* gInstance = nullptr;
constexpr char kAck = 'K';
// A listener that is alive accepts at once; this only bounds a wedged one.
constexpr int kConnectMs = 1000;

int32_t ReadInt32(const char* at) {
  int32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void WriteInt32(char* at, int32_t v) { std::memcpy(at, &v, sizeof v); }

// The block stays mapped for the whole run; access goes under its lock.
class TBlockLock {
public:
  explicit TBlockLock(QSharedMemory& block) : block_(block), locked_(block.lock()) {}
  ~TBlockLock() {
    if (locked_) block_.unlock();
  }
  char* Data() { return static_cast<char*>(block_.data()); }

private:
  QSharedMemory& block_;
  bool locked_;
};

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

void TOneInstance::StopListening() {
  if (server_) server_->close();
  if (listening_ && block_ && block_->isAttached()) {
    TBlockLock lock(*block_);
    if (ReadInt32(lock.Data() + kBlockPidOffset) == getpid()) WriteInt32(lock.Data() + kBlockPidOffset, 0);
  }
}

// The user id is part of every name: another user's program never meets ours.
QString TOneInstance::BlockKey() const { return QString::fromStdString(base_) + QString("-%1").arg(getuid()); }
QString TOneInstance::SemaphoreKey() const { return BlockKey() + "Sem"; }

QString TOneInstance::ServerName(int64_t pid) const {
  // The runtime folder is the user's own (mode 0700); the temporary folder
  // is shared, so there the socket's own permissions keep others out.
  QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::tempPath();
  return dir + "/" + BlockKey() + QString("-%1.sock").arg(pid);
}

void TOneInstance::WriteByte(int offset, bool value) {
  if (!block_ || !block_->isAttached()) return;
  TBlockLock lock(*block_);
  lock.Data()[offset] = value ? 1 : 0;
}

void TOneInstance::SetActive(bool active) {
  if (active == active_) return;
  active_ = active;
  WriteByte(kBlockActiveOffset, active);
}

void TOneInstance::SetShowOnNewInstance(bool show) {
  if (show == showOnNewInstance_) return;
  showOnNewInstance_ = show;
  WriteByte(kBlockShowOffset, show);
}

bool TOneInstance::ListenerAlive(int64_t pid) const {
  if (pid <= 0 || pid == getpid()) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  QLocalSocket probe;
  probe.connectToServer(ServerName(pid));
  const bool alive = probe.waitForConnected(kConnectMs);
  probe.abort();
  return alive;
}

bool TOneInstance::Start(const QStringList& parameters) {
  block_ = std::make_unique<QSharedMemory>(BlockKey());
  bool existed = false;
  if (!block_->create(kInstanceBlockSize)) {
    if (block_->error() != QSharedMemory::AlreadyExists || !block_->attach() || block_->size() < kInstanceBlockSize) {
      TraceF("single instance: no shared block (%s), running alone", block_->errorString().toStdString().c_str());
      block_.reset();
      return false;
    }
    existed = true;
  }
  {
    TBlockLock lock(*block_);
    char* data = lock.Data();
    // A block whose listener is gone (killed, crashed) is taken over at once:
    // shared memory and semaphores outlive the process that made them.
    if (!existed || !ListenerAlive(ReadInt32(data + kBlockPidOffset))) {
      data[kBlockActiveOffset] = active_ ? 1 : 0;
      data[kBlockShowOffset] = showOnNewInstance_ ? 1 : 0;
      if (existed) TraceF("single instance: the running instance is gone, taking over");
      StartListening();
      return false;
    }
    // The running instance decides.
    active_ = data[kBlockActiveOffset] != 0;
  }
  return SendToFirstInstance(parameters);
}

void TOneInstance::StartListening() {
  // Called with the block locked: the process id goes in last, once the
  // server and the semaphore are ready.
  auto* data = static_cast<char*>(block_->data());
  semaphore_ = std::make_unique<QSystemSemaphore>(SemaphoreKey(), 1, QSystemSemaphore::Create);
  const QString name = ServerName(getpid());
  QLocalServer::removeServer(name);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name)) {
    TraceF("single instance: cannot listen on %s: %s", name.toStdString().c_str(),
           server_->errorString().toStdString().c_str());
    delete server_;
    server_ = nullptr;
    return;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] { HandleConnection(); });
  WriteInt32(data + kBlockPidOffset, static_cast<int32_t>(getpid()));
  listening_ = true;
}

bool TOneInstance::SendToFirstInstance(const QStringList& parameters) {
  if (!active_) return false;  // an independent instance
  // Hand-overs go one at a time; the semaphore is held until the running
  // instance has taken the parameters.
  QSystemSemaphore semaphore(SemaphoreKey(), 0, QSystemSemaphore::Open);
  if (!semaphore.acquire()) {
    TBlockLock lock(*block_);
    StartListening();
    return false;
  }
  int32_t pid = 0;
  const std::array<char, kHandoverSize> handover = EncodeParameters(parameters);
  {
    TBlockLock lock(*block_);
    std::memcpy(lock.Data() + kBlockCountOffset, handover.data(), handover.size());
    pid = ReadInt32(lock.Data() + kBlockPidOffset);
  }
  // The running instance comes to the front by itself (ShowOnNewInstance).
  QLocalSocket socket;
  socket.connectToServer(ServerName(pid));
  bool taken = false;
  if (socket.waitForConnected(kConnectMs)) {
    socket.write(handover.data(), static_cast<qint64>(handover.size()));
    socket.flush();
    while (!taken && socket.waitForReadyRead(TimeoutMs)) taken = socket.read(1) == QByteArray(1, kAck);
  }
  socket.abort();
  semaphore.release();
  if (!taken) {
    // No answer in time: this start becomes the listening one.
    TraceF("single instance: no answer from process %d, starting normally", pid);
    TBlockLock lock(*block_);
    StartListening();
    return false;
  }
  return true;
}

void TOneInstance::HandleConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
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
