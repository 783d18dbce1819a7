#include "errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace libqar {

namespace {

qar_status format_message(qar_error* error, qar_status status, const char* format,
                          va_list args) {
    // vsnprintf cuts the message to the buffer and always terminates it.
    vsnprintf(error->message, sizeof error->message, format, args);
    error->status = status;
    return status;
}

}  // namespace

qar_status set_error(qar_error* error, qar_status status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    format_message(error, status, format, args);
    va_end(args);
    return status;
}

qar_status set_system_error(qar_error* error, qar_status status, int system_error,
                            const char* format, ...) {
    va_list args;
    va_start(args, format);
    format_message(error, status, format, args);
    va_end(args);
    if (system_error != 0) {
        const size_t used = strlen(error->message);
        snprintf(error->message + used, sizeof error->message - used, ": %s",
                 strerror(system_error));
    }
    return status;
}

qar_status set_no_memory(qar_error* error) {
    return set_error(error, QAR_NO_MEMORY, "out of memory");
}

qar_status clear_error(qar_error* error) {
    error->status = QAR_OK;
    error->message[0] = 0;
    return QAR_OK;
}

}  // namespace libqar
