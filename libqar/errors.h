// How the library's functions report failure: a qar_status, and the message
// written into the caller's qar_error (qar.h). Internal functions always get
// an error object to write into; the public functions give them a local one
// when their caller passed none.
#pragma once

#include <cstddef>

#include "qar/qar.h"

namespace libqar {

// Sets status and message (printf format, cut to QAR_MESSAGE_SIZE); returns
// status, so that a failure path reads `return set_error(...)`.
qar_status set_error(qar_error* error, qar_status status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// As set_error, followed by ": " and the system's text for system_error
// (an errno value taken right after the failed call) when it is not 0.
qar_status set_system_error(qar_error* error, qar_status status, int system_error,
                            const char* format, ...) __attribute__((format(printf, 4, 5)));

// The library's one out-of-memory failure.
qar_status set_no_memory(qar_error* error);

// Clears the error to QAR_OK with an empty message; returns QAR_OK.
qar_status clear_error(qar_error* error);

// The error object a public function works with: the caller's, or one of
// its own when the caller passed NULL. Cleared on entry.
struct ErrorOut {
    qar_error own;
    qar_error* to;
    explicit ErrorOut(qar_error* caller) : to(caller != nullptr ? caller : &own) {
        clear_error(to);
    }
};

}  // namespace libqar
