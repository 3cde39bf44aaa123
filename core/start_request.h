// Start requests: the options every task is added with (`StartOptions`, what `Engine::add`
// takes), the JSON object a browser extension posts to "/start" or "/capture" read into them in
// one place (`parse_start_request`) and written from them in one place (`start_request_json`),
// and the cleaning that turns them into a task's fixed request.
//
// Plain mode (the "/start" route and the engine's URL add) reads only "url", "connections",
// "bandwidthLimit", "insecure", "proxy", "checksum" and "liveOutageLimit". Capture mode (the "/capture" route
// and the engine's JSON add) also reads what a browser saw when it intercepted a download: "filename",
// "cookies", "referrer", "userAgent", "method", "postData", "type", "maxConcurrent", "headers",
// "liveFromStart" and "skipBadSegments".
//
// Bad members fall back to their defaults and unusable headers are dropped without a message;
// the mapping fails only for an empty URL.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/task.h"
#include "json/json.h"

namespace twk {

// The connection count `requested` becomes: itself when allowed (kAllowedConnections,
// core/connection_counts.h), else kDefaultConnections.
uint64_t allowed_connections(int64_t requested);

// How long a live recording waits out a stream that brings nothing new before it gives up.
inline constexpr int64_t kDefaultLiveOutageLimit = 300; // seconds
inline constexpr int64_t kMaxLiveOutageLimit = 86'400;  // a day
// `seconds` when it is from 1 to kMaxLiveOutageLimit, else 0 (the default).
int64_t allowed_live_outage_limit(int64_t seconds);

// The options record of one start request, after reading and defaults, before any cleaning.
struct StartOptions {
    std::string url;                           // trimmed; empty means no task
    int64_t connections = kDefaultConnections; // as requested; `create_task` limits it
    int64_t bandwidth_limit = 0;               // bytes per second; 0 = none
    bool insecure = false;
    std::string proxy;             // trimmed proxy URL text
    std::string checksum;          // "sha-256=HEX" and the like (net/checksum.h); empty: none
    int64_t live_outage_limit = 0; // "liveOutageLimit", seconds; 0: the engine's default
    // Capture mode only:
    std::string filename; // requested output name
    // The name is the user's own choice (`twk get -o`): a name that starts with dots keeps them.
    bool user_named = false;
    std::string cookies;
    std::string referrer;
    std::string user_agent;
    std::string method = "GET"; // "GET", "POST" or "HEAD"
    std::string post_data;
    std::string type;                      // lower-cased stream type hint
    std::optional<int64_t> max_concurrent; // "maxConcurrent" when it was a JSON number
    HeaderList headers;                    // string members of "headers", in the object's order
    bool live_from_start = false;          // "liveFromStart": record a live stream from its oldest segment
    bool skip_bad_segments = false;        // "skipBadSegments": finish a stream without failed segments
    // The folder of this task's file when it is not the engine's (`twk get -i` lists); not a
    // member of the JSON request, which never chooses a folder.
    std::string directory;
};

// Whether the engine sets the header `name` (any case) itself, so that a request's own is
// dropped: Host, Range, Content-Length, the connection and framing headers, cache validators.
bool engine_sets_header(std::string_view name);

// Reads the members of a start request (any JSON value; a non-object reads as all defaults).
StartOptions read_start_options(const JsonValue& request, bool capture);

// The start request's JSON text as options: every front end that takes JSON reads it here.
// In capture mode passed-on headers keep the order given, repeated names included. Nothing
// when the text is not a JSON object.
std::optional<StartOptions> parse_start_request(std::string_view json, bool capture);

// The options as a capture-mode start request: "url" and "connections" always, every other
// member only when it differs from its default; headers in their order. Read back by
// `parse_start_request`, it gives the same options.
std::string start_request_json(const StartOptions& options);

// The request a task keeps: URL, connection count, method, body, TLS flag, user agent, the
// filtered request headers with "Cookie" and "Referer", the proxy (when it parses) and the
// stream type.
TaskRequest clean_request(const StartOptions& options);

// Where the task's file goes in `download_dir`: the requested name, else the URL's, cleaned.
std::string output_path_for(const StartOptions& options, std::string_view download_dir);

// A new task record for `request`: output and sidecar paths, the bandwidth limit (when above
// 0), one segment of unknown size, "queued".
std::shared_ptr<Task> create_task(TaskRequest request, std::string_view output_path, int64_t bandwidth_limit);

// All three steps for a start request's options.
std::shared_ptr<Task> create_task(const StartOptions& options, std::string_view download_dir);

// The whole mapping from an already parsed request (the fuzz target and tests use it): read, then
// `create_task`. Null when "url" is empty. In
// capture mode a "maxConcurrent" above 0 is handed back through `max_concurrent` (when given)
// for the caller to store as the engine's limit of running tasks.
// `headers_in_order`, when given, replaces the "headers" member as the tree reader saw it
// (key-sorted, the last of each name): see `ordered_headers`.
std::shared_ptr<Task> map_start_request(const JsonValue& request, std::string_view download_dir, bool capture,
                                        int64_t* max_concurrent = nullptr,
                                        const HeaderList* headers_in_order = nullptr);

// The string members of the "headers" object of a start request's JSON text, in the order
// given and with repeated names kept; nothing when the text has no such object.
std::optional<HeaderList> ordered_headers(std::string_view json);

// The stream type for a URL and a "type" hint: "hls", "dash" or empty for a plain transfer.
std::string stream_type_for(std::string_view url, std::string_view type_hint);

} // namespace twk
