#include "driver/bytes.h"

#include <cstring>

namespace {

// The C locale's white space; isspace() would depend on the locale in force.
bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

void terminate_and_trim(char* field, size_t size) {
    if (size == 0)
        return;
    field[size - 1] = '\0';
    size_t length = strlen(field);
    while (length > 0 && is_white(field[length - 1]))
        field[--length] = '\0';
}
