#include "ui/new_download_dialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryFile>
#include <QVBoxLayout>

#include "app/duplicate_check.h"
#include "net/checksum.h"
#include "net/url.h"
#include "ui/palette.h"
#include "ui/text_table.h"
#include "ui/window_texts.h"

namespace twk::ui {
namespace {

constexpr int kClientWidth = 520;
// The checksum row sits below the link field, the name and folder rows below it.
constexpr int kChecksumRowHeight = 40;
constexpr int kSaveRowsHeight = 2 * 58;
constexpr int kClientHeight = 184 + kChecksumRowHeight + kSaveRowsHeight;
constexpr double kMargin = 22;
constexpr double kFieldHeight = 30;

QString t(const char* key) { return QString::fromUtf8(tr(key)); }

// The checksum row's texts, as (Chinese, English) pairs like the app's table.
constexpr TextPair kChecksumPlaceholder{"校验和（可选）：sha-256=…", "Checksum (optional): sha-256=…"};
constexpr TextPair kChecksumOneLink{"校验和只适用于一个链接", "A checksum fits one link only"};
constexpr TextPair kChecksumForm{"校验和的写法：sha-256=十六进制值（也可用 sha-512、sha-1、md5）",
                                 "Write the checksum as sha-256=HEX (sha-512, sha-1 and md5 too)"};
constexpr TextPair kChecksumUnknown{"未知的校验算法：%1（可用 sha-256、sha-512、sha-1、md5）",
                                    "Unknown checksum algorithm: %1 (sha-256, sha-512, sha-1 or md5)"};
constexpr TextPair kChecksumDigits{"%1 校验和是 %2 位十六进制数字", "A %1 checksum is %2 hexadecimal digits"};
// The name and folder rows' texts.
constexpr TextPair kNameSlash{"文件名不能包含“/”：%1", "A file name cannot hold “/”: %1"};
constexpr TextPair kNameDots{"“%1”不能用作文件名", "“%1” cannot be a file name"};
constexpr TextPair kNameOneLink{"文件名只适用于一个链接", "A file name fits one link only"};
constexpr TextPair kFolderMissing{"文件夹不存在：%1", "The folder does not exist: %1"};
constexpr TextPair kFolderReadOnly{"文件夹不可写：%1", "The folder is read-only: %1"};
constexpr TextPair kFolderRelative{"请填写文件夹的完整路径：%1", "Give the folder’s whole path: %1"};
constexpr TextPair kFolderChooseTitle{"选择保存的文件夹", "Choose the folder to save in"};

QString local_text(const TextPair& pair) {
    return QString::fromUtf8(language_is_chinese() ? pair.chinese : pair.english);
}

bool clipboard_blank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}
bool typed_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

} // namespace

QString clipboard_link(const QString& clipboard) {
    QString text = clipboard.left(kClipboardReadChars);
    qsizetype nul = text.indexOf(QChar(u'\0'));
    if (nul >= 0) text.truncate(nul);
    qsizetype begin = 0, end = text.size();
    while (begin < end && clipboard_blank(text[begin]))
        ++begin;
    while (end > begin && clipboard_blank(text[end - 1]))
        --end;
    text = text.mid(begin, end - begin);
    if (text.isEmpty() || text.size() > kMaxLinkChars) return {};
    for (QChar c : text) {
        if (c.unicode() <= 32) return {};
    }
    qsizetype sep = text.indexOf(QStringLiteral("://"));
    if (sep <= 0 || sep + 3 >= text.size()) return {};
    QString scheme = text.left(sep).toLower();
    if (scheme != u"http" && scheme != u"https" && scheme != u"ftp" && scheme != u"ftps") return {};
    return text;
}

std::string typed_link(const QString& field) {
    std::string text = field.left(kMaxLinkChars).toStdString();
    size_t begin = 0, end = text.size();
    while (begin < end && typed_blank(text[begin]))
        ++begin;
    while (end > begin && typed_blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

QString clipboard_links(const QString& clipboard) {
    QStringList links;
    const QStringList lines =
        clipboard.left(kClipboardReadChars).split(QRegularExpression(QStringLiteral("[\r\n]")));
    for (const QString& line : lines) {
        if (line.trimmed().isEmpty()) continue;
        QString link = clipboard_link(line);
        if (link.isEmpty()) return {};
        links << link;
    }
    return links.join(QLatin1Char(' '));
}

std::vector<std::string> typed_links(const QString& field) {
    std::vector<std::string> links;
    std::string text = field.left(kMaxFieldChars).toStdString();
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && typed_blank(text[at]))
            ++at;
        size_t end = at;
        while (end < text.size() && !typed_blank(text[end]))
            ++end;
        if (end > at) links.push_back(text.substr(at, end - at));
        at = end;
    }
    return links;
}

QString link_problem(const std::string& link) {
    UrlParts parts;
    if (link.size() <= static_cast<size_t>(kMaxLinkChars) && parse_url(link, parts)) return {};
    QString shown = QString::fromStdString(link.substr(0, 80));
    if (link.size() > 80) shown += QStringLiteral("…");
    return t("new.invalid_link") + shown;
}

QString checksum_problem(const QString& field) {
    const std::string typed = field.trimmed().left(kMaxLinkChars).toStdString();
    Checksum checksum;
    if (typed.empty() || parse_checksum(typed, checksum)) return {};
    const size_t separator = typed.find_first_of("=:");
    if (separator == std::string::npos || separator == 0) return local_text(kChecksumForm);
    // The algorithm's length, found by the one reader of checksums rather than a second table.
    const std::string name = typed.substr(0, separator);
    for (int digits : {32, 40, 64, 128}) {
        if (parse_checksum(name + "=" + std::string(static_cast<size_t>(digits), '0'), checksum))
            return local_text(kChecksumDigits).arg(QString::fromStdString(checksum.algorithm)).arg(digits);
    }
    return local_text(kChecksumUnknown).arg(QString::fromStdString(name.substr(0, 40)));
}

QString file_name_problem(const QString& field) {
    const QString name = field.trimmed();
    if (name.contains(QLatin1Char('/'))) return local_text(kNameSlash).arg(name.left(80));
    if (name == u"." || name == u"..") return local_text(kNameDots).arg(name);
    return {};
}

QString typed_folder(const QString& field) {
    QString folder = field.trimmed();
    if (folder == u"~" || folder.startsWith(QStringLiteral("~/"))) folder = QDir::homePath() + folder.mid(1);
    return folder.isEmpty() ? folder : QDir::cleanPath(folder);
}

QString save_folder_problem(const QString& field) {
    const QString folder = typed_folder(field);
    if (!folder.isEmpty() && QDir::isRelativePath(folder)) return local_text(kFolderRelative).arg(folder);
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir()) return local_text(kFolderMissing).arg(folder);
    // Permission bits do not tell everything (read-only mounts, ACLs): a file made and removed
    // does.
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".tarnwick-XXXXXX")));
    if (!probe.open()) return local_text(kFolderReadOnly).arg(folder);
    return {};
}

DownloadStarter::DownloadStarter(Add add, QObject* parent) : QObject(parent), m_add(std::move(add)) {}

DownloadStarter::~DownloadStarter() {
    std::list<std::thread> workers;
    {
        std::lock_guard lock(m_lock);
        workers.swap(m_workers);
    }
    for (std::thread& worker : workers)
        worker.join();
}

void DownloadStarter::start(const std::vector<std::string>& urls, int64_t connections,
                            const std::string& checksum) {
    run(urls.size(), [this, urls, connections, checksum](size_t i, std::string& error) {
        if (!m_add) {
            error = "engine not running";
            return false;
        }
        return m_add(urls[i], connections, checksum, error);
    });
}

void DownloadStarter::start(const std::vector<NewDownload>& downloads) {
    run(downloads.size(), [this, downloads](size_t i, std::string& error) {
        const NewDownload& download = downloads[i];
        if (m_add_to) return m_add_to(download, error);
        if (m_add && download.folder.empty() && download.name.empty())
            return m_add(download.url, download.connections, download.checksum, error);
        error = "engine not running";
        return false;
    });
}

void DownloadStarter::run(size_t count, std::function<bool(size_t, std::string&)> add_one) {
    if (count == 0) return;
    std::lock_guard lock(m_lock);
    m_workers.emplace_back([this, count, add_one = std::move(add_one)] {
        for (size_t i = 0; i < count; ++i) {
            std::string error;
            const bool ok = add_one(i, error);
            const bool last = i + 1 == count;
            std::thread::id self = std::this_thread::get_id();
            QString text = QString::fromStdString(error);
            // Each result goes to the UI thread as a queued call; the last one also reaps this
            // thread.
            QMetaObject::invokeMethod(
                this,
                [this, self, ok, text, last] {
                    if (last) join(self);
                    emit finished(ok, text);
                },
                Qt::QueuedConnection);
        }
    });
}

void DownloadStarter::join(std::thread::id id) {
    std::thread worker;
    {
        std::lock_guard lock(m_lock);
        for (auto it = m_workers.begin(); it != m_workers.end(); ++it) {
            if (it->get_id() == id) {
                worker = std::move(*it);
                m_workers.erase(it);
                break;
            }
        }
    }
    if (worker.joinable()) worker.join();
}

NewDownloadDialog::NewDownloadDialog(std::function<void(const std::string&)> start, QWidget* owner)
    : QDialog(owner), m_start(std::move(start)) {
    setObjectName(QStringLiteral("TWKNewDialog"));
    setWindowTitle(t("new.title"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);
    setStyleSheet(dialog_style_sheet());

    m_field = new QLineEdit;
    m_field->setFont(control_font());
    m_field->setPlaceholderText(t("new.placeholder"));
    m_field->setMaxLength(static_cast<int>(kMaxFieldChars));
    m_field->setFixedHeight(static_cast<int>(kFieldHeight));
    m_problem = new QLabel;
    m_problem->setFont(hint_font());
    m_problem->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    QPalette red = m_problem->palette();
    red.setColor(QPalette::WindowText, kError);
    m_problem->setPalette(red);
    auto* buttons = button_box();
    m_download = push_button(t("new.download"), true);
    m_download->setEnabled(false);
    buttons->addButton(m_download, QDialogButtonBox::AcceptRole);
    buttons->addButton(push_button(t("dialog.cancel"), false), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &NewDownloadDialog::accept_link);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_field, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_download->setEnabled(!typed_links(text).empty());
        show_error({});
        follow_category();
    });

    // The optional name, and the folder with its Browse… button.
    m_name = new QLineEdit;
    m_name->setObjectName(QStringLiteral("name"));
    m_name->setFont(control_font());
    m_name->setPlaceholderText(QString::fromUtf8(window_text(WindowText::FileNameHint)));
    m_name->setMaxLength(255);
    m_name->setFixedHeight(static_cast<int>(kFieldHeight));
    connect(m_name, &QLineEdit::textChanged, this, [this] {
        show_error({});
        follow_category();
    });
    m_folder = new QLineEdit;
    m_folder->setObjectName(QStringLiteral("folder"));
    m_folder->setFont(control_font());
    m_folder->setMaxLength(kMaxLinkChars);
    m_folder->setFixedHeight(static_cast<int>(kFieldHeight));
    connect(m_folder, &QLineEdit::textChanged, this, [this] {
        show_error({});
        if (!m_filling_folder) m_folder_chosen = true;
    });
    m_browse = push_button(t("new.browse"), false);
    m_browse->setObjectName(QStringLiteral("browse"));
    m_browse->setAutoDefault(false);
    connect(m_browse, &QPushButton::clicked, this, &NewDownloadDialog::browse);

    // The optional checksum the file must match (one link only).
    m_checksum = new QLineEdit;
    m_checksum->setObjectName(QStringLiteral("checksum"));
    m_checksum->setFont(control_font());
    m_checksum->setPlaceholderText(local_text(kChecksumPlaceholder));
    m_checksum->setMaxLength(static_cast<int>(kMaxLinkChars));
    m_checksum->setFixedHeight(static_cast<int>(kFieldHeight));
    connect(m_checksum, &QLineEdit::textChanged, this, [this] { show_error({}); });

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(static_cast<int>(kMargin), 18, static_cast<int>(kMargin), 18);
    column->setSpacing(0);
    column->addWidget(title_label(t("new.title"), 15));
    column->addSpacing(10);
    column->addWidget(heading_label(t("new.link")));
    column->addSpacing(6);
    column->addWidget(m_field);
    column->addSpacing(kChecksumRowHeight - static_cast<int>(kFieldHeight));
    column->addWidget(m_checksum);
    column->addSpacing(12);
    column->addWidget(heading_label(QString::fromUtf8(window_text(WindowText::FileNameLabel))));
    column->addSpacing(6);
    column->addWidget(m_name);
    column->addSpacing(12);
    column->addWidget(heading_label(QString::fromUtf8(window_text(WindowText::FolderLabel))));
    column->addSpacing(6);
    auto* folder_row = new QHBoxLayout;
    folder_row->setSpacing(8);
    folder_row->addWidget(m_folder, 1);
    folder_row->addWidget(m_browse);
    column->addLayout(folder_row);
    column->addSpacing(6);
    column->addWidget(m_problem);
    column->addStretch(1);
    column->addWidget(buttons);
    m_field->setFocus();
    set_save_folders(default_download_dir(), std::nullopt);
}

void NewDownloadDialog::set_save_folders(const std::string& download_dir,
                                         std::optional<app::SettingsPaths> settings) {
    m_download_dir = download_dir;
    m_settings = std::move(settings);
    m_folder_chosen = false;
    follow_category();
}

app::FileCategory NewDownloadDialog::category() const {
    const QString name = m_name->text().trimmed();
    if (!name.isEmpty()) return app::file_category(name.toStdString());
    const std::vector<std::string> links = typed_links(m_field->text());
    if (links.empty()) return app::FileCategory::Other;
    const std::string planned = app::planned_path(links.front(), {}, "/");
    return app::file_category(planned.substr(planned.rfind('/') + 1));
}

void NewDownloadDialog::follow_category() {
    if (m_folder_chosen || !m_folder) return;
    std::string folder = m_download_dir;
    if (m_settings)
        folder = app::category_folder(app::SettingsStore(*m_settings), category(), m_download_dir);
    m_filling_folder = true;
    m_folder->setText(QString::fromStdString(folder));
    m_filling_folder = false;
}

void NewDownloadDialog::choose_folder(const QString& folder) {
    if (folder.isEmpty()) return;
    m_folder->setText(QDir::cleanPath(folder));
    m_folder_chosen = true;
}

void NewDownloadDialog::browse() {
    QString start = m_folder->text().trimmed();
    if (!QFileInfo(start).isDir()) start = QString::fromStdString(m_download_dir);
    choose_folder(QFileDialog::getExistingDirectory(this, local_text(kFolderChooseTitle), start));
}

void NewDownloadDialog::show_error(const QString& error) {
    m_error = error;
    QFontMetricsF metrics(m_problem->font(), this);
    m_problem->setText(metrics.elidedText(error, Qt::ElideMiddle, kClientWidth - 2 * kMargin));
    m_problem->setToolTip(error);
}

bool NewDownloadDialog::download_enabled() const { return m_download->isEnabled(); }

void NewDownloadDialog::prefill(const QString& clipboard_text) {
    QString links = clipboard_links(clipboard_text);
    if (!links.isEmpty()) m_field->setText(links);
    m_field->setFocus();
    m_field->selectAll();
}

void NewDownloadDialog::accept_link() {
    const std::vector<std::string> links = typed_links(m_field->text());
    if (links.empty()) return;
    for (const std::string& link : links) {
        QString problem = link_problem(link);
        if (!problem.isEmpty()) {
            show_error(problem);
            return;
        }
    }
    if (QString problem = checksum_problem(m_checksum->text()); !problem.isEmpty()) {
        show_error(problem);
        return;
    }
    if (!checksum().empty() && links.size() > 1) {
        show_error(local_text(kChecksumOneLink));
        return;
    }
    const std::string name = m_name->text().trimmed().toStdString();
    if (QString problem = file_name_problem(m_name->text()); !problem.isEmpty()) {
        show_error(problem);
        return;
    }
    if (!name.empty() && links.size() > 1) {
        show_error(local_text(kNameOneLink));
        return;
    }
    const QString folder_text = typed_folder(m_folder->text());
    // The download folder is made when missing, as it always was; any other must be there.
    const bool download_folder_to_make =
        folder_text == QDir::cleanPath(QString::fromStdString(m_download_dir)) &&
        !QFileInfo::exists(folder_text);
    if (QString problem = save_folder_problem(folder_text); !problem.isEmpty() && !download_folder_to_make) {
        show_error(problem);
        return;
    }
    const std::string folder = folder_text.toStdString();
    if (m_submit) {
        std::vector<NewDownload> downloads;
        for (const std::string& link : links)
            downloads.push_back(NewDownload{link, 0, folder, name, checksum()});
        if (!m_submit(downloads)) return;
    } else if (m_start) {
        for (const std::string& link : links)
            m_start(link);
    }
    if (m_settings) {
        app::SettingsStore store(*m_settings);
        app::remember_category_folder(store, category(), folder, m_download_dir);
    }
    accept();
}

std::string NewDownloadDialog::checksum() const { return m_checksum->text().trimmed().toStdString(); }

void NewDownloadDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    place_over_owner(this, parentWidget());
}

void NewDownloadDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: accept_link(); return;
    case Qt::Key_Escape: reject(); return;
    default: QDialog::keyPressEvent(event);
    }
}

} // namespace twk::ui
