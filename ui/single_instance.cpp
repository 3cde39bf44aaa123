#include "ui/single_instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QVariant>

#include <cstdlib>

#include "app/launch_link.h"

namespace twk::ui {

namespace {

constexpr const char* kGreeting = "twk-links 1\n";
constexpr const char* kAnswer = "ok\n";

// The folder made or found as the user's own, mode 0700, no symbolic link.
bool own_private_folder(const std::string& path) {
    ::mkdir(path.c_str(), 0700);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
    if ((st.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) return false;
    return true;
}

} // namespace

std::string instance_socket_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder;
    if (runtime && runtime[0] == '/') {
        folder = std::string(runtime) + "/tarnwick";
    } else {
        folder = "/tmp/tarnwick-" + std::to_string(::getuid());
    }
    if (!own_private_folder(folder)) return {};
    return folder + "/instance";
}

bool hand_over_links(const std::string& path, const std::vector<std::string>& links) {
    if (path.empty()) return false;
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(path));
    if (!socket.waitForConnected(kHandOverTimeoutMs)) return false;
    QByteArray message(kGreeting);
    for (const std::string& link : links)
        message += QByteArray::fromStdString(link) + '\n';
    message += '\n';
    socket.write(message);
    QElapsedTimer clock;
    clock.start();
    QByteArray answer;
    while (!answer.contains('\n') && clock.elapsed() < kHandOverTimeoutMs) {
        if (!socket.waitForReadyRead(static_cast<int>(kHandOverTimeoutMs - clock.elapsed()))) break;
        answer += socket.readAll();
    }
    return answer == kAnswer;
}

SingleInstance::SingleInstance(Receive receive, QObject* parent)
    : QObject(parent), m_receive(std::move(receive)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::listen(const std::string& path) {
    if (path.empty()) return false;
    const QString name = QString::fromStdString(path);
    // A socket file nobody answers at is what an app that died left behind.
    {
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(500)) return false;
    }
    QLocalServer::removeServer(name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] { accept(); });
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        read(socket);
    }
}

void SingleInstance::read(QLocalSocket* socket) {
    QByteArray buffer = socket->property("twk_buffer").toByteArray() + socket->readAll();
    if (buffer.size() > kMaxHandOverBytes || (buffer.size() >= 12 && !buffer.startsWith(kGreeting))) {
        socket->abort();
        return;
    }
    // The message ends with an empty line.
    const qsizetype end =
        buffer.indexOf("\n\n", static_cast<qsizetype>(std::string_view(kGreeting).size()) - 1);
    if (end < 0) {
        socket->setProperty("twk_buffer", buffer);
        return;
    }
    socket->setProperty("twk_buffer", QByteArray());
    std::vector<std::string> links;
    const QByteArray body = buffer.mid(static_cast<qsizetype>(std::string_view(kGreeting).size()),
                                       end + 1 - static_cast<qsizetype>(std::string_view(kGreeting).size()));
    for (const QByteArray& line : body.split('\n')) {
        if (line.isEmpty()) continue;
        // Whoever wrote to the socket, only download links come through.
        const app::LaunchLink link = app::parse_launch_link(line.toStdString());
        if (link.ok) links.push_back(link.url);
    }
    socket->write(kAnswer);
    socket->flush();
    socket->disconnectFromServer();
    if (m_receive) m_receive(links);
}

} // namespace twk::ui
