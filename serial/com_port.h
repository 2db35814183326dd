// RFC 2217 COM-PORT-OPTION requests: what a client's SET-BAUDRATE,
// SET-DATASIZE, SET-PARITY, SET-STOPSIZE, SET-CONTROL, SET-MODEMSTATE-MASK
// and PURGE-DATA do to the line, and what the client is answered.
//
// The line is reached through SerialLine, so the decisions can be run on a
// model of a line as well as on a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/terminal.h"
#include "serial/telnet.h"

// The operations a COM-PORT-OPTION request may make on a line.
class SerialLine {
public:
    virtual ~SerialLine() = default;
    // set_tty / get_tty on the line (common/terminal.h).
    virtual void set(const char* text) = 0;
    virtual int get(const char* text, std::vector<uint32_t>& values) = 0;
    // TIOCMGET into `lines`; TIOCMBIS / TIOCMBIC with `lines`; TIOCSBRK /
    // TIOCCBRK. Results are not checked by the caller.
    virtual int modem(unsigned long request, int& lines) = 0;
    virtual void set_break(bool on) = 0;
    // tcflush with TCIFLUSH, TCOFLUSH or TCIOFLUSH.
    virtual void purge(int queue) = 0;
};

// The line of an open serial position: set_tty/get_tty on its descriptor,
// the modem lines and BREAK through the platform layer.
class TtyLine : public SerialLine {
public:
    explicit TtyLine(int fd) : fd_(fd) {}
    void set(const char* text) override;
    int get(const char* text, std::vector<uint32_t>& values) override;
    int modem(unsigned long request, int& lines) override;
    void set_break(bool on) override;
    void purge(int queue) override;

private:
    int fd_;
};

// Serves one COM-PORT-OPTION sub-negotiation. `data`/`length` is the whole
// sub-negotiation, IAC SB 44 through IAC SE, as telnet_command_length
// delimited it; value bytes are read only from within it, with their IAC
// doubling undone.
//
// Writes the answer into `reply` (COM_PORT_MESSAGE_MAX bytes) and returns
// its length (10 or 7, more only for a value with 0xFF), 0 when the request
// gets no answer, -1 when it lacks its value (logged). `changed` becomes 1
// when one of the port's remembered settings (baud, data_size, parity,
// stop_size) changed, else 0.
//
// Queries (value 0) read the line; settings are applied and answered with
// the value received, also when the line can't take it (a rate outside the
// setting table, 1.5 stop bits, XON/XOFF). SET-CONTROL keeps the BREAK state
// in `port.break_on`. PURGE-DATA 1, 2, 3 purges the receive, transmit or both
// queues of the line and is acknowledged with the value received. SIGNATURE,
// the notifications, the flow-control and line-state requests get no answer.
int set_com_port_option(SerialPosition& port, SerialLine& line, const uint8_t* data, size_t length,
                        uint8_t* reply, uint8_t& changed);
