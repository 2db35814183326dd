// The daemon's settings, read once from /etc/telvad.conf at start-up.
//
// One process-wide record, reachable through `daemon_config` (null before
// init_config() and after free_config()). It is written only on the main
// thread before any other thread starts; afterwards every thread may read it
// without a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct DaemonConfig {
    int32_t verbosity = 4;                 // syslog priority threshold 0..7 (above 7: everything passes)
    uint16_t as_port = 0;                  // main client-protocol port
    uint16_t serial_port_a = 0;            // RFC 2217 bridge of /dev/ttyS2
    uint16_t serial_port_b = 0;            // RFC 2217 bridge of /dev/ttyS3
    std::optional<std::string> config_path;  // tried before the default path when set
    std::optional<std::string> lock;         // pid lock file
    bool alpaca_enabled = false;
};

inline constexpr const char* DEFAULT_CONFIG_PATH = "/etc/telvad.conf";
inline constexpr const char* DEFAULT_LOCK_PATH = "/run/telvad.pid";
inline constexpr uint16_t DEFAULT_AS_PORT = 48899;
inline constexpr uint16_t DEFAULT_SERIAL_PORT_A = 49000;
inline constexpr uint16_t DEFAULT_SERIAL_PORT_B = 49001;

extern DaemonConfig* daemon_config;

// Allocates the record with its start values. 0, or the negated errno.
int init_config();

// Reads config_path (when set and readable) or /etc/telvad.conf and applies the
// defaults. A file that can't be opened is logged ("fopen() failed: %s") and
// the defaults are applied all the same, so the daemon starts on them; the
// negated errno is returned in that case.
int read_config();

// Frees the record and sets daemon_config to null.
void free_config();

// Applies one line (or one 1023-byte piece of a longer line) to `config`.
// Comments, unknown keys and lines of fewer than two tokens change nothing;
// bad values are handled as the file format says and never fail.
void apply_config_line(DaemonConfig& config, const char* line);

// Fills in the lock path and the ports still unset (0).
void apply_config_defaults(DaemonConfig& config);

// Makes the record's `verbosity` the threshold log_message() applies (4
// without a record). init_config, read_config and free_config do it
// themselves; call it after changing the record directly. log_message()
// reads only this copy, so threads may log while the record is freed.
void publish_log_threshold();
int log_threshold_now();

// Accessors; each answers the start value when no record exists.
int config_verbosity();
const char* config_lock();
uint16_t config_as_port();
uint16_t config_serial_port_a();
uint16_t config_serial_port_b();
bool config_alpaca_enabled();
