// The options of `twk get`, read from the command line, and the start request each URL becomes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/url_list.h"
#include "core/start_request.h"
#include "core/task.h"

namespace twk {

struct GetOptions {
    std::string directory;  // empty: the engine's default download folder
    int max_concurrent = 3; // downloads running at once
    int max_per_host = 0;   // connections to one host from all downloads; 0: the engine's default (32)
    // What every URL is asked with: connections, limit, proxy, TLS check, headers (in
    // command-line order), user agent, referrer, cookies, stream type, and the output name
    // (`filename`, only with one URL).
    StartOptions request;
    // Whether a URL without --proxy goes through the proxy the environment names for it
    // (http_proxy, https_proxy, ftp_proxy, all_proxy, no_proxy); off with --no-proxy or
    // --proxy ''.
    bool environment_proxy = true;
    bool quiet = false;
    bool json = false;
    std::vector<std::string> urls;
    // -i: a URL list file (cli/url_list.h), "-" for standard input; its URLs follow `urls`.
    std::string input;
    // What was given but will not be used, one line each for standard error ("-H Host: ...").
    std::vector<std::string> notes;
};

// Reads the arguments that follow "get". False with a one-line reason for bad usage.
bool parse_get_options(const std::vector<std::string>& args, GetOptions& out, std::string& error);

// "512", "64K", "1.5M", "2g": bytes per second, 1024-based suffixes. False for anything else.
bool parse_rate(const std::string& text, int64_t& out);

// A proxy URL `twk get` takes: one that parses, with the scheme http, socks5 or socks5h (or
// none, meaning http).
bool supported_proxy(const std::string& text);

// An output name with a folder part: a relative one is taken under `folder`, an absolute one
// as given with its "." and ".." steps resolved; `folder` becomes that folder and `output_name`
// the bare name. Names without "/" are left alone. (`parse_get_options` has refused a relative
// name that would leave the folder.)
void place_output(std::string& folder, std::string& output_name);

// The start options for one URL, for the engine's add: the request with that URL, a given
// output name being the user's own.
StartOptions start_options(const GetOptions& options, const std::string& url);

// The start options for one entry of a URL list: the command line's request with the entry's
// URL and its options (out, dir, header). `folder` is the download folder of the command line.
// False, with every bad option line in `problems`, when an option is unknown or unusable: the
// entry is then not run, rather than run other than the list asked.
bool list_entry_options(const GetOptions& options, const std::string& folder, const UrlListEntry& entry,
                        StartOptions& out, std::vector<UrlListProblem>& problems);

// The same request as JSON text (what a front end would post to the control API).
std::string build_start_request(const GetOptions& options, const std::string& url);

} // namespace twk
