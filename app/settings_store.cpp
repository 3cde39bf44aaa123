#include "app/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "net/file_io.h"
#include "net/text.h"
#include "json/json.h"

namespace twk::app {
namespace {

constexpr const char* kSchemeEntryName = "tarnwick-url.desktop";
constexpr const char* kSchemeMime = "x-scheme-handler/twk";

std::string env_dir(const char* name) {
    const char* value = std::getenv(name);
    // The base directory rules: a relative path is invalid and ignored.
    if (value && value[0] == '/') return value;
    return {};
}

bool read_whole_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool load_object(const std::string& path, OrderedJsonValue& out) {
    std::string text;
    if (!read_whole_file(path, text)) return false;
    return parse_ordered_document(text, out);
}

// UTF-16 units of a UTF-8 text: a four-byte sequence counts twice, every other lead byte once.
size_t utf16_length(std::string_view text) {
    size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) == 0x80) continue;
        units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

void write_number(std::string& out, double number) {
    char buffer[64];
    std::to_chars_result r{};
    if (std::trunc(number) == number && std::fabs(number) < 9.0e15) {
        r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(number));
    } else if (std::isfinite(number)) {
        r = std::to_chars(buffer, buffer + sizeof buffer, number);
    } else {
        out += "null";
        return;
    }
    out.append(buffer, r.ptr);
}

void write_value(std::string& out, const OrderedJsonValue& value, int indent) {
    switch (value.kind) {
    case JsonKind::Null: out += "null"; break;
    case JsonKind::Bool: out += value.boolean ? "true" : "false"; break;
    case JsonKind::Number: write_number(out, value.number); break;
    case JsonKind::String: out += json_quote(value.string); break;
    case JsonKind::Array:
        out += '[';
        for (size_t i = 0; i < value.array.size(); ++i) {
            if (i) out += ',';
            write_value(out, value.array[i], indent);
        }
        out += ']';
        break;
    case JsonKind::Object: {
        out += '{';
        std::string pad(static_cast<size_t>(indent + 2), ' ');
        for (size_t i = 0; i < value.members.size(); ++i) {
            out += i ? ",\n" : "\n";
            out += pad + json_quote(value.members[i].key) + ": ";
            write_value(out, value.members[i].value, indent + 2);
        }
        if (!value.members.empty()) out += "\n" + std::string(static_cast<size_t>(indent), ' ');
        out += '}';
        break;
    }
    }
}

// Sets one member of the settings object, keeping everything else the file holds. A file that
// does not parse (a hand edit gone wrong) starts over as an empty object; its bytes are kept
// next to it as "settings.json.bad" so that nothing the user wrote is lost.
bool set_member(const std::string& path, std::string_view name, OrderedJsonValue value) {
    OrderedJsonValue root;
    if (!load_object(path, root)) {
        std::string unreadable;
        if (read_whole_file(path, unreadable) && !unreadable.empty() &&
            !write_private_file(path + ".bad", unreadable))
            return false;
        root = OrderedJsonValue();
        root.kind = JsonKind::Object;
    }
    bool placed = false;
    std::vector<OrderedJsonMember> kept;
    for (auto& member : root.members) {
        if (member.key != name) {
            kept.push_back(std::move(member));
        } else if (!placed) {
            kept.push_back({member.key, value});
            placed = true;
        }
    }
    if (!placed) kept.push_back({std::string(name), std::move(value)});
    root.members = std::move(kept);
    std::string text;
    write_value(text, root, 0);
    text += '\n';
    return write_private_file(path, text);
}

bool usable_exe_path(const std::string& exe_path) {
    return !exe_path.empty() && utf16_length(exe_path) <= kMaxExecutablePath && exe_path[0] == '/' &&
           !has_control_byte(exe_path, true);
}

// mimeapps.list with our handler as the default for the scheme: an existing line for the key
// in [Default Applications] is replaced, other lines and sections stay as they are.
std::string with_scheme_default(const std::string& existing) {
    const std::string line = std::string(kSchemeMime) + "=" + kSchemeEntryName;
    std::vector<std::string> lines;
    std::istringstream in(existing);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    bool in_defaults = false, placed = false;
    std::vector<std::string> out;
    for (const auto& l : lines) {
        if (!l.empty() && l[0] == '[') {
            if (in_defaults && !placed) {
                out.push_back(line);
                placed = true;
            }
            in_defaults = l == "[Default Applications]";
        } else if (in_defaults && l.rfind(std::string(kSchemeMime) + "=", 0) == 0) {
            if (!placed) out.push_back(line);
            placed = true;
            continue;
        }
        out.push_back(l);
    }
    if (!placed) {
        if (!in_defaults) {
            if (!out.empty() && !out.back().empty()) out.push_back("");
            out.push_back("[Default Applications]");
        }
        out.push_back(line);
    }
    std::string text;
    for (const auto& l : out)
        text += l + "\n";
    return text;
}

// A desktop entry that starts the program with `exec`, followed by the `lines` of its use.
std::string desktop_entry(const std::string& exec, const std::string& lines) {
    return "[Desktop Entry]\nType=Application\nName=Tarnwick\nIcon=tarnwick\nExec=" + exec + "\n" + lines;
}

} // namespace

SettingsPaths settings_paths_from_env() {
    SettingsPaths paths;
    std::string home = env_dir("HOME");
    paths.config_home = env_dir("XDG_CONFIG_HOME");
    if (paths.config_home.empty() && !home.empty()) paths.config_home = home + "/.config";
    paths.data_home = env_dir("XDG_DATA_HOME");
    if (paths.data_home.empty() && !home.empty()) paths.data_home = home + "/.local/share";
    return paths;
}

std::string SettingsStore::settings_file() const { return m_paths.config_home + "/tarnwick/settings.json"; }
std::string SettingsStore::autostart_file() const {
    return m_paths.config_home + "/autostart/tarnwick.desktop";
}
std::string SettingsStore::url_scheme_file() const {
    return m_paths.data_home + "/applications/" + kSchemeEntryName;
}
std::string SettingsStore::mimeapps_file() const { return m_paths.config_home + "/mimeapps.list"; }

int32_t SettingsStore::read_dword(std::string_view name, int32_t fallback) const {
    OrderedJsonValue root;
    if (m_paths.config_home.empty() || !load_object(settings_file(), root)) return fallback;
    const OrderedJsonValue* value = root.member(name);
    if (!value || value->kind != JsonKind::Number) return fallback;
    double n = value->number;
    if (std::trunc(n) != n || n < INT32_MIN || n > INT32_MAX) return fallback;
    return static_cast<int32_t>(n);
}

std::string SettingsStore::read_string(std::string_view name, const std::string& fallback) const {
    OrderedJsonValue root;
    if (m_paths.config_home.empty() || !load_object(settings_file(), root)) return fallback;
    const OrderedJsonValue* value = root.member(name);
    if (!value || value->kind != JsonKind::String) return fallback;
    if (utf16_length(value->string) > kMaxSettingChars) return fallback;
    return value->string;
}

bool SettingsStore::write_dword(std::string_view name, int32_t value) {
    if (m_paths.config_home.empty()) return false;
    OrderedJsonValue number;
    number.kind = JsonKind::Number;
    number.number = value;
    return set_member(settings_file(), name, std::move(number));
}

bool SettingsStore::write_string(std::string_view name, std::string_view value) {
    if (m_paths.config_home.empty()) return false;
    OrderedJsonValue text;
    text.kind = JsonKind::String;
    text.string = value;
    return set_member(settings_file(), name, std::move(text));
}

bool SettingsStore::autostart_enabled() const {
    return !m_paths.config_home.empty() && ::access(autostart_file().c_str(), F_OK) == 0;
}

bool SettingsStore::set_autostart(bool on, const std::string& exe_path) {
    if (m_paths.config_home.empty()) return false;
    if (!on) {
        std::error_code ignored;
        std::filesystem::remove(autostart_file(), ignored);
        return !autostart_enabled();
    }
    std::string exec = desktop_exec_line(exe_path, "");
    if (exec.empty()) return false;
    return write_file_atomically(autostart_file(),
                                 desktop_entry(exec, "Terminal=false\nX-GNOME-Autostart-enabled=true\n"));
}

bool SettingsStore::register_url_scheme(const std::string& exe_path) {
    if (m_paths.config_home.empty() || m_paths.data_home.empty()) return false;
    std::string exec = desktop_exec_line(exe_path, "%u");
    if (exec.empty()) return false;
    const std::string entry =
        desktop_entry(exec, "MimeType=" + std::string(kSchemeMime) + ";\nNoDisplay=true\nTerminal=false\n");
    if (!write_file_atomically(url_scheme_file(), entry)) return false;
    std::string existing;
    read_whole_file(mimeapps_file(), existing);
    return write_file_atomically(mimeapps_file(), with_scheme_default(existing));
}

std::string desktop_exec_line(const std::string& exe_path, std::string_view args) {
    if (!usable_exe_path(exe_path)) return {};
    // Inside a quoted argument ", `, $ and \ take a backslash; the value itself then escapes
    // every backslash once more, and a literal % is written %%.
    std::string quoted = "\"";
    for (char c : exe_path) {
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
            quoted += c;
        } else if (c == '\\') {
            quoted += "\\\\\\\\";
        } else if (c == '%') {
            quoted += "%%";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    if (!args.empty()) quoted += " " + std::string(args);
    return quoted;
}

bool write_file_atomically(const std::string& path, std::string_view bytes) {
    return write_private_file(path, bytes, nullptr, FolderOwner::kUser);
}

} // namespace twk::app
