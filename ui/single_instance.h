// One desktop app per user: a start while the app runs hands its links (`tarnwick URL…`, a
// `twk:` link from the browser, app/launch_link.h) to the running one and ends.
//
// The running app listens on a local socket, "$XDG_RUNTIME_DIR/tarnwick/instance" (without
// XDG_RUNTIME_DIR, "/tmp/tarnwick-UID/instance"), in a folder of mode 0700 that must be the
// user's own and no symbolic link; elsewhere there is no hand-over and every start runs alone.
// A socket left by an app that died is taken over.
//
// The exchange: the starting process writes "twk-links 1\n", one link per line and an empty
// line; the running one reads at most kMaxHandOverBytes, checks every link again, answers
// "ok\n" and passes the links on. A start without links also goes to the running app, which
// then shows its window.
#pragma once

#include <QObject>

#include <functional>
#include <string>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace twk::ui {

inline constexpr int kMaxHandOverBytes = 256 * 1024;
inline constexpr int kHandOverTimeoutMs = 3000;

// The socket's path, its folder made (0700) when missing; empty when no safe folder exists.
std::string instance_socket_path();

// Gives `links` to the app listening at `path`; true once it said it took them. False when no
// app listens there (or it did not answer within kHandOverTimeoutMs).
bool hand_over_links(const std::string& path, const std::vector<std::string>& links);

class SingleInstance : public QObject {
public:
    // Called on the GUI thread with the links of one later start (maybe none).
    using Receive = std::function<void(const std::vector<std::string>& links)>;
    SingleInstance(Receive receive, QObject* parent);
    ~SingleInstance() override;

    // Listens at `path`, replacing a socket no app answers at. False when another app listens
    // there or the socket cannot be made.
    bool listen(const std::string& path);

private:
    void accept();
    void read(QLocalSocket* socket);

    Receive m_receive;
    QLocalServer* m_server = nullptr;
};

} // namespace twk::ui
