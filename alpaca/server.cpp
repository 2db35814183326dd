#include "alpaca/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>
#include <microhttpd.h>
#include <ulfius.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "alpaca/envelope.h"
#include "alpaca/routes/member_answer.h"
#include "alpaca/types.h"
#include "common/log.h"

namespace AlpacaServer {

int DeviceRegistry::add(std::unique_ptr<Device> device, int type) {
    std::unique_lock lock(mutex_);
    std::vector<std::unique_ptr<Device>>& of_type = devices_[type];
    for (const auto& known : of_type)
        if (known->device_id == device->device_id)
            return -1;
    of_type.push_back(std::move(device));
    return static_cast<int>(of_type.size() - 1);
}

std::size_t DeviceRegistry::count(int type) const {
    std::shared_lock lock(mutex_);
    auto found = devices_.find(type);
    return found == devices_.end() ? 0 : found->second.size();
}

Device* DeviceRegistry::find(int type, std::size_t number) const {
    std::shared_lock lock(mutex_);
    auto found = devices_.find(type);
    if (found == devices_.end() || number >= found->second.size())
        return nullptr;
    return found->second[number].get();
}

void DeviceRegistry::for_each(const std::function<void(int, std::size_t, Device&)>& visit) const {
    std::shared_lock lock(mutex_);
    for (const auto& [type, of_type] : devices_)
        for (std::size_t number = 0; number < of_type.size(); ++number)
            visit(type, number, *of_type[number]);
}

Server::Server()
    : server_id("CorvaneETHAdapter"),
      server_name("Corvane ETH Adapter Alpaca Server"),
      manufacturer("Corvane Instruments"),
      manufacturer_version("61"),
      location("") {}

int Server::add_device(Device* device) {
    const int type = device->device_type();
    // The name and UniqueID are set before the device is published, so a
    // request that finds it sees them complete; the duplicate check and the
    // append are one step under the registry lock.
    char name[4096] = {};
    device->get_name(name, sizeof name - 1);
    std::string id = make_unique_id(server_id, name, type, device->device_id);
    std::snprintf(device->unique_id, sizeof device->unique_id, "%s", id.c_str());
    return registry.add(std::unique_ptr<Device>(device), type);
}

const char* framework_result_text(int result) {
    switch (result) {
    case 1: return "Generic error (1)";
    case 2: return "Error in memory allocation (2)";
    case 3: return "Error in input parameters (3)";
    case 4: return "Error in libmicrohttpd execution (4)";
    case 5: return "Error in libcurl execution (5)";
    case 6: return "Something was not found (6)";
    default: return "???";
    }
}

namespace {

struct _u_instance instance;
sockaddr_in bind_address;
std::atomic<Server*> the_server{nullptr};

// An Ulfius map as KeyValues, in its order.
KeyValues key_values(const struct _u_map* map) {
    KeyValues out;
    if (map == nullptr || u_map_count(map) <= 0)
        return out;
    const char** keys = u_map_enum_keys(map);
    for (std::size_t i = 0; keys != nullptr && keys[i] != nullptr; ++i) {
        const char* value = u_map_get(map, keys[i]);
        out.emplace_back(keys[i], value != nullptr ? value : "");
    }
    return out;
}

bool parse(Server& server, const struct _u_request* request, ParsedRequest& out) {
    const char* url = request->http_url != nullptr ? request->http_url : "";
    return parse_request(url, key_values(request->map_url), key_values(request->map_post_body),
                         server.transactions.next(),
                         [&server](int type) { return server.registry.count(type); }, out);
}

void add_cors(struct _u_response* response) {
    ulfius_add_header_to_response(response, "Access-Control-Allow-Origin", "*");
}

int send_error_response(struct _u_response* response, const ParsedRequest& parsed, int number) {
    JsonRef body = error_envelope(number, parsed.client_transaction_id, parsed.server_transaction_id);
    add_cors(response);
    ulfius_set_json_body_response(response, 400, body.get());
    return U_CALLBACK_COMPLETE;
}

int send_management(struct _u_response* response, const ParsedRequest& parsed, JsonRef value) {
    JsonRef body = management_envelope(std::move(value), parsed.client_transaction_id,
                                       parsed.server_transaction_id);
    add_cors(response);
    ulfius_set_json_body_response(response, 200, body.get());
    return U_CALLBACK_CONTINUE;
}

int handle_apiversions(const struct _u_request* request, struct _u_response* response, void* user_data) {
    Server& server = *static_cast<Server*>(user_data);
    ParsedRequest parsed;
    parse(server, request, parsed);
    return send_management(response, parsed, JsonRef(json_pack("[i]", 1)));
}

int handle_description(const struct _u_request* request, struct _u_response* response, void* user_data) {
    Server& server = *static_cast<Server*>(user_data);
    ParsedRequest parsed;
    parse(server, request, parsed);
    JsonRef value(json_object());
    json_object_set_new(value.get(), "ServerName", json_string(server.server_name.c_str()));
    json_object_set_new(value.get(), "Manufacturer", json_string(server.manufacturer.c_str()));
    json_object_set_new(value.get(), "ManufacturerVersion", json_string(server.manufacturer_version.c_str()));
    json_object_set_new(value.get(), "Location", json_string(server.location.c_str()));
    return send_management(response, parsed, std::move(value));
}

int handle_configureddevices(const struct _u_request* request, struct _u_response* response,
                             void* user_data) {
    Server& server = *static_cast<Server*>(user_data);
    ParsedRequest parsed;
    parse(server, request, parsed);
    JsonRef value(json_array());
    server.registry.for_each([&](int, std::size_t number, Device& device) {
        char name[4096] = {};
        device.get_name(name, sizeof name - 1);
        json_t* entry = json_object();
        json_object_set_new(entry, "DeviceName", json_string(name));
        json_object_set_new(entry, "DeviceType", json_string(device_type_label(device.device_type())));
        json_object_set_new(entry, "DeviceNumber", json_integer(static_cast<json_int_t>(number)));
        json_object_set_new(entry, "UniqueID", json_string(device.unique_id));
        json_array_append_new(value.get(), entry);
    });
    return send_management(response, parsed, std::move(value));
}

void release_parsed(void* parsed) {
    delete static_cast<ParsedRequest*>(parsed);
}

int handle_parse_request(const struct _u_request* request, struct _u_response* response, void* user_data) {
    Server& server = *static_cast<Server*>(user_data);
    auto parsed = std::make_unique<ParsedRequest>();
    if (!parse(server, request, *parsed))
        return send_error_response(response, *parsed, kInvalidValue);
    Device* device = server.registry.find(parsed->device_type, parsed->device_number);
    if (device == nullptr || device->device_type() != parsed->device_type) {
        log_message(LOG_ERR, "handle_parse_request: device->device_type() != parsed_request->device_type");
        return send_error_response(response, *parsed, kNotImplemented);
    }
    ulfius_set_response_shared_data(response, parsed.release(), release_parsed);
    return U_CALLBACK_CONTINUE;
}

int handle_not_found(const struct _u_request* request, struct _u_response* response, void*) {
    std::string text = not_found_text(request->http_url != nullptr ? request->http_url : "");
    ulfius_set_string_body_response(response, 400, text.c_str());
    return U_CALLBACK_COMPLETE;
}

// The member segment of a device URL whose type and number are written as
// the registry names them ("/api/v1/camera/0/binx" gives "binx", with or
// without one trailing "/"); "" for any other shape ("/camera/00/binx",
// "/camera/0/binx/more").
std::string_view member_of(std::string_view path, const ParsedRequest& parsed) {
    // Takes `piece` off the front of `path`; false when it isn't there.
    auto take = [&path](std::string_view piece) {
        if (path.substr(0, piece.size()) != piece)
            return false;
        path.remove_prefix(piece.size());
        return true;
    };
    char number[16];
    snprintf(number, sizeof number, "%u/", static_cast<unsigned>(parsed.device_number));
    if (!take("/api/v1/") || !take(device_type_name(parsed.device_type)) || !take("/") || !take(number))
        return {};
    if (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    return path.find('/') == std::string_view::npos ? path : std::string_view();
}

// Answers a parsed device request from the route table of its type; a
// member no row answers (unknown name, wrong method) gets the not-found
// answer.
int handle_member(const struct _u_request* request, struct _u_response* response, void* user_data) {
    Server& server = *static_cast<Server*>(user_data);
    const auto* parsed = static_cast<const ParsedRequest*>(response->shared_data);
    if (parsed == nullptr)
        return U_CALLBACK_COMPLETE;
    const char* path = request->url_path != nullptr ? request->url_path : "";
    const std::string_view member = member_of(path, *parsed);
    const Route* route =
        member.empty() ? nullptr : find_route(parsed->device_type, request->http_verb, member);
    Device* device = server.registry.find(parsed->device_type, parsed->device_number);
    if (route == nullptr || device == nullptr)
        return handle_not_found(request, response, user_data);
    if (route->custom != nullptr)
        return route->custom(request, response, *parsed, *device);
    JsonRef body = answer_member(route_table(parsed->device_type), *route, *device, *parsed);
    add_cors(response);
    if (ulfius_set_json_body_response(response, 200, body.get()) != U_OK) {
        log_message(LOG_ERR, "alpaca: no answer could be made for %s", path);
        return U_CALLBACK_ERROR;
    }
    return U_CALLBACK_COMPLETE;
}

// After the parse step (priority 0).
constexpr unsigned int kMemberPriority = 10;

// Bounds on what clients can hold: connections per address and in all (the
// rest wait in the backlog or are refused), how long one may sit idle, and
// how large a request body may grow. Requests are small forms.
constexpr unsigned int kMaxConnections = 256;
constexpr unsigned int kMaxConnectionsPerAddress = 64;
constexpr unsigned int kIdleSeconds = 30;
constexpr std::size_t kMaxBody = 16 * 1024;

// Ulfius's own start (a thread per connection) with the bounds above.
int start_framework() {
    MHD_OptionItem options[] = {
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(mhd_request_completed), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(ulfius_uri_logger), nullptr},
        {MHD_OPTION_SOCK_ADDR, 0, &bind_address},
        {MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
        {MHD_OPTION_END, 0, nullptr},
    };
    return ulfius_start_framework_with_mhd_options(
        &instance, MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ERROR_LOG,
        options);
}

}  // namespace

Server* alpaca_server() {
    return the_server.load();
}

int start_alpaca_server() {
    std::memset(&bind_address, 0, sizeof bind_address);
    bind_address.sin_family = AF_INET;
    bind_address.sin_port = htons(8000);
    bind_address.sin_addr.s_addr = htonl(INADDR_ANY);
    int result = ulfius_init_instance(&instance, 8000, &bind_address, "default_realm");
    if (result != U_OK) {
        log_message(LOG_ERR, "alpaca: init failed: %s", framework_result_text(result));
        return -1;
    }
    auto* server = new Server();
    the_server.store(server);
    ulfius_add_endpoint_by_val(&instance, "GET", "", "/management/apiversions", 0, handle_apiversions, server);
    ulfius_add_endpoint_by_val(&instance, "GET", "", "/management/v1/description", 0, handle_description, server);
    ulfius_add_endpoint_by_val(&instance, "GET", "", "/management/v1/configureddevices", 0,
                               handle_configureddevices, server);
    ulfius_add_endpoint_by_val(&instance, "*", "", "/api/v1/*", 0, handle_parse_request, server);
    ulfius_add_endpoint_by_val(&instance, "*", "", "/api/v1/*", kMemberPriority, handle_member, server);
    ulfius_set_default_endpoint(&instance, handle_not_found, server);
    instance.max_post_body_size = kMaxBody;
    instance.max_post_param_size = kMaxBody;
    result = start_framework();
    if (result == U_OK) {
        log_message(LOG_INFO, "Alpaca Server started");
        return 0;
    }
    log_message(LOG_ERR, "alpaca: start failed: %s", framework_result_text(result));
    ulfius_clean_instance(&instance);
    the_server.store(nullptr);
    delete server;
    return -1;
}

void stop_alpaca_server() {
    Server* server = the_server.exchange(nullptr);
    if (server == nullptr)
        return;
    ulfius_stop_framework(&instance);
    ulfius_clean_instance(&instance);
    delete server;
    log_message(LOG_INFO, "Alpaca Server stopped");
}

}  // namespace AlpacaServer
