#include "common/config.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <syslog.h>

#include "common/log.h"

DaemonConfig* daemon_config = nullptr;

namespace {
// The threshold as log_message() sees it: threads may log while the record
// is being freed at shutdown, so they never read the record itself.
std::atomic<int> log_threshold{LOG_WARNING};
}  // namespace

void publish_log_threshold() { log_threshold = daemon_config ? daemon_config->verbosity : LOG_WARNING; }

namespace {

constexpr size_t LINE_BUFFER = 1024;
constexpr const char* DELIMITERS = " =\n";

struct LevelName {
    const char* name;
    int level;
};

constexpr LevelName LEVEL_NAMES[] = {
    {"emerg", LOG_EMERG}, {"alert", LOG_ALERT},   {"crit", LOG_CRIT}, {"err", LOG_ERR},
    {"warning", LOG_WARNING}, {"notice", LOG_NOTICE}, {"info", LOG_INFO}, {"debug", LOG_DEBUG},
};

// The low 16 bits of the leading unsigned decimal number; 0 for text.
uint16_t parse_port(const char* value) {
    return static_cast<uint16_t>(strtoul(value, nullptr, 10));
}

void apply_verbosity(DaemonConfig& config, const char* value) {
    for (const LevelName& entry : LEVEL_NAMES) {
        if (strcmp(value, entry.name) == 0) {
            config.verbosity = entry.level;
            return;
        }
    }
    long number = strtol(value, nullptr, 10);
    if (number <= 0)  // priority 0 can only be set by name
        return;
    if (number > INT_MAX)
        number = INT_MAX;
    if (number > LOG_DEBUG)
        log_message(LOG_ERR, "The value %d is not a valid priority value", static_cast<int>(number));
    config.verbosity = static_cast<int32_t>(number);
}

}  // namespace

int init_config() {
    daemon_config = new (std::nothrow) DaemonConfig;
    if (daemon_config == nullptr) {
        errno = ENOMEM;
        log_message(LOG_ERR, "malloc: %s", strerror(errno));
        return -ENOMEM;
    }
    publish_log_threshold();
    return 0;
}

void free_config() {
    DaemonConfig* record = daemon_config;
    daemon_config = nullptr;
    publish_log_threshold();
    delete record;
}

void apply_config_line(DaemonConfig& config, const char* line) {
    if (line[0] == '#')
        return;

    char copy[LINE_BUFFER];
    snprintf(copy, sizeof copy, "%s", line);
    char* state = nullptr;
    const char* key = strtok_r(copy, DELIMITERS, &state);
    const char* value = key ? strtok_r(nullptr, DELIMITERS, &state) : nullptr;
    if (value == nullptr)
        return;

    if (strcmp(key, "verbosity") == 0)
        apply_verbosity(config, value);
    else if (strcmp(key, "lock") == 0)
        config.lock = value;
    else if (strcmp(key, "as_port") == 0)
        config.as_port = parse_port(value);
    else if (strcmp(key, "serial_port_a") == 0)
        config.serial_port_a = parse_port(value);
    else if (strcmp(key, "serial_port_b") == 0)
        config.serial_port_b = parse_port(value);
    else if (strcmp(key, "alpaca_enabled") == 0)
        config.alpaca_enabled = strtoul(value, nullptr, 10) == 1;
}

void apply_config_defaults(DaemonConfig& config) {
    if (!config.lock)
        config.lock = DEFAULT_LOCK_PATH;
    if (config.as_port == 0)
        config.as_port = DEFAULT_AS_PORT;
    if (config.serial_port_a == 0)
        config.serial_port_a = DEFAULT_SERIAL_PORT_A;
    if (config.serial_port_b == 0)
        config.serial_port_b = DEFAULT_SERIAL_PORT_B;
}

int read_config() {
    DaemonConfig& config = *daemon_config;
    FILE* file = config.config_path ? fopen(config.config_path->c_str(), "r") : nullptr;
    if (file == nullptr)
        file = fopen(DEFAULT_CONFIG_PATH, "r");
    if (file == nullptr) {
        int error = errno;
        log_message(LOG_ERR, "fopen() failed: %s", strerror(error));
        // Without a file the box still has to come up: the defaults stand in.
        apply_config_defaults(config);
        publish_log_threshold();
        return -error;
    }

    char line[LINE_BUFFER];
    while (fgets(line, sizeof line, file) != nullptr)
        apply_config_line(config, line);

    apply_config_defaults(config);
    fclose(file);
    publish_log_threshold();
    return 0;
}

int config_verbosity() { return daemon_config ? daemon_config->verbosity : LOG_WARNING; }

int log_threshold_now() { return log_threshold; }

const char* config_lock() {
    return daemon_config && daemon_config->lock ? daemon_config->lock->c_str() : nullptr;
}

uint16_t config_as_port() { return daemon_config ? daemon_config->as_port : 0; }
uint16_t config_serial_port_a() { return daemon_config ? daemon_config->serial_port_a : 0; }
uint16_t config_serial_port_b() { return daemon_config ? daemon_config->serial_port_b : 0; }
bool config_alpaca_enabled() { return daemon_config && daemon_config->alpaca_enabled; }
