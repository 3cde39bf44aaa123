// Self-update without Qt: the version check against the vendor's endpoint, the comparison of
// dotted versions, the installation id, and the installer's download, SHA-256 check and launch.
//
// The endpoint is a base URL compiled in and replaced by TWK_ENDPOINT when that is set (tests
// point it at a loopback server). The check asks "<endpoint>/latest.json?p=linux&v=<ours>&i=<id>"
// and reads a JSON object:
//
//   {"version": "0.2.0", "downloads": {"linux": "<installer URL>"}, "sha256": {"linux": "<hex>"}}
//
// A member that is missing or of another type reads as an empty string.
//
// Whoever answers the list decides what code runs, so the list is trusted only when it came
// whole over https (every redirect hop included) and carries the vendor's signature: an ECDSA
// P-256 signature over the exact bytes of the body, with SHA-256, DER-encoded as
// `openssl dgst -sha256 -sign key.pem` writes it, served as "<endpoint>/latest.json.sig" (same
// query). It is checked against the public key built into the program (app/update_key.h). The
// installer URL it names must be https too. A list refused for any of these reasons writes one
// "SELFUPDATE: update list refused: <why>" line and is never acted on.
//
// The installer is saved as "Tarnwick-<version>-setup.run" in a folder of its own made with
// mkdtemp (0700) in the temporary folder (TMPDIR, else /tmp), hashed through the descriptor it
// was written through, and started from that same open file (fexecve) detached with "--silent",
// so nothing can swap it between the check and the start.
//
// Everything here may run on a worker thread: nothing touches the UI, and every failure is a
// return value.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "app/settings_store.h"
#include "net/file_io.h"
#include "net/proxy_spec.h"
#include "net/socket.h"

namespace twk::app {

// The version of this program, as the title bar, About and the diagnostics show it.
const char* program_version();

// TWK_ENDPOINT when set and non-empty, else the vendor's site; never with a trailing "/".
std::string vendor_endpoint();
// The page a failed self-update opens in the browser.
std::string download_page_url();

// Dotted versions compared component by component up to the longer list; a component's value
// is its leading decimal digits (none gives 0) and a missing component counts as 0. Negative,
// zero or positive as `a` is older, the same or newer than `b`.
int compare_versions(std::string_view a, std::string_view b);

// An anonymous id: a random (version 4) UUID, upper-case hexadecimal in 8-4-4-4-12 form, from
// the crypto library's random source. Empty when no random bytes could be had.
std::string new_install_id();
// The stored InstallID, replaced by a new one when shorter than 16 characters.
std::string ensure_install_id(SettingsStore& store);

// An update the endpoint offers.
struct UpdateOffer {
    std::string version;
    std::string url;    // installer
    std::string sha256; // expected digest, hexadecimal
};

// The manifest's members; false when the text is not one JSON object (alone but for
// whitespace).
bool read_manifest(std::string_view body, UpdateOffer& out);

std::string update_check_url(const std::string& endpoint, const std::string& version, const std::string& id);
// The signature's URL for a list URL: ".sig" added to the path, the query kept.
std::string signature_url(const std::string& list_url);

// Whether `signature` (DER, as openssl writes it) is a valid ECDSA P-256 SHA-256 signature of
// exactly `body` by the key whose uncompressed public point (65 bytes: 04, X, Y) is written in
// hexadecimal in `public_key_hex`.
bool update_list_signed(std::string_view body, std::string_view signature, std::string_view public_key_hex);

// Whether the check at start-up is due: the setting is on and the last check is unset, in the
// future, or more than 3599 seconds old.
bool update_check_due_at_start(bool auto_update, int64_t last_check, int64_t now_seconds);
inline constexpr int64_t kUpdateCheckPeriodMs = 86'400'000;
inline constexpr int kUpdateCheckTimeoutMs = 8000;

// One check: asks the endpoint for the list and its signature over https, records
// LastUpdateCheck (`now_seconds`, 32 bits) when a signed reply names a version, and returns the
// offer when that version is newer than ours. A list that is not asked over https, not signed
// with the built-in key or that names an installer that is not https is refused with a
// SELFUPDATE line; other failures are silent. `connections`, when given, watches the requests so
// that shut-down can end them.
std::optional<UpdateOffer> run_update_check(SettingsStore& store, const std::string& endpoint,
                                            int64_t now_seconds, SocketCanceller* connections = nullptr);

// The lines the updater writes to standard error, flushed at once.
void report_found(const UpdateOffer& offer);
void report_launched();
void report_failed();
void report_refused(std::string_view why);

// Whether the offer can be downloaded at all: an https installer URL and a 64-character digest.
bool offer_is_downloadable(const UpdateOffer& offer);

// The temporary folder: TMPDIR when set and absolute, else /tmp.
std::string temp_folder();
// "<folder>/Tarnwick-<version>-setup.run"; empty when the version would not make a plain file
// name (it comes from the network: no "/", no "..", only letters, digits and ".-_+").
std::string installer_path(const std::string& folder, const std::string& version);

// The proxy the updater and the diagnostic upload use: the custom proxy in custom mode; in
// system mode the desktop's https_proxy (or HTTPS_PROXY, then http_proxy) variable; else none.
ProxySpec updater_proxy(const Settings& settings);

// The installer's file while it is fetched, checked and started: a new file, open for reading
// and writing, in a folder of its own that only the user can enter.
struct InstallerFile {
    std::string folder; // made by mkdtemp, 0700
    std::string path;   // folder + "/Tarnwick-<version>-setup.run"
    UniqueFd fd;
};

// Makes the folder (in `parent`) and the empty file for `version`. False with `error` set when
// the version cannot name a file or the folder or file cannot be made.
bool create_installer_file(const std::string& parent, const std::string& version, InstallerFile& out,
                           std::string& error);
// Removes the file and its folder.
void remove_installer_file(InstallerFile& file);

// GETs `url` into the file open at `fd`. The final response must be 200, and every byte a
// Content-Length announces must arrive; a redirect from https to http is refused. `stop`, when
// set, ends the download between pieces; `connections`, when given, watches its connections so
// that a stop also ends a blocked connect or read.
bool download_installer(const std::string& url, int fd, const ProxySpec& proxy, const std::atomic<bool>* stop,
                        std::string& error, SocketCanceller* connections = nullptr);

// SHA-256 of what the open file `fd` holds, from its first byte, as 64 lower-case hexadecimal
// digits; empty when it cannot be read.
std::string sha256_fd_hex(int fd);
// The same for bytes in memory.
std::string sha256_hex(std::string_view bytes);
// Case-insensitive comparison of two hexadecimal digests of 64 characters each.
bool digests_match(std::string_view actual, std::string_view expected);

// Starts the installer open at `fd` (written and checked through it; closed here, so that no
// descriptor open for writing keeps it from running) with "--silent" in a new session, not
// waited for (a double fork, so no zombie is left). It runs from that open file, through a
// read-only descriptor of the same file (fexecve), never by its name. True once executed.
bool launch_installer(UniqueFd& fd, std::string& error);

// Download, check and launch in one: false with the file and its folder removed when any step
// failed.
bool fetch_and_launch_installer(const UpdateOffer& offer, const ProxySpec& proxy,
                                const std::atomic<bool>* stop, std::string& error,
                                SocketCanceller* connections = nullptr);

} // namespace twk::app
