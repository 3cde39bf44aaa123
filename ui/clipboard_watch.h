// The clipboard watch (a setting, off by default): a download link copied anywhere is offered
// with a small notice, "Download?" with the link and a "Download" action, through the
// notification service (ui/notifier.h). Nothing is added unless the action is clicked.
//
// A copy counts when the clipboard's whole text, blanks around it aside, is one http, https,
// ftp or ftps link (app/launch_link.h): a copied paragraph is no offer. Each link is offered
// once while the app runs, and copies the app makes itself (Copy Link) are not offered. The
// notice shows the link without a user name or password it may hold.
#pragma once

#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>

namespace twk::ui {

class Notifier;

// The link a clipboard text offers, or "" (see above); already offered links are not checked
// here.
std::string offered_link(const QString& clipboard_text);
// The link as the notice shows it: without "user:password@".
QString link_for_display(const std::string& link);

class ClipboardWatch : public QObject {
public:
    using Add = std::function<void(const std::string& link)>;
    // Watches the application's clipboard once turned on; `add` runs when an offer is taken.
    ClipboardWatch(Notifier& notifier, Add add, QObject* parent);

    void set_enabled(bool on) { m_enabled = on; }
    bool enabled() const { return m_enabled; }

    // What the clipboard's change leads to; `ours` when this program set the text.
    void clipboard_changed(const QString& text, bool ours);

private:
    Notifier& m_notifier;
    Add m_add;
    bool m_enabled = false;
    std::unordered_set<std::string> m_offered;
};

inline constexpr size_t kMostOfferedLinks = 1000;

} // namespace twk::ui
