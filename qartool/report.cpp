#include "report.h"

#include <cstdio>
#include <cstdlib>

#include "names.h"

std::string reason_text(const qar_error& error) {
    std::string reason = display_text(error.message);
    if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z') reason[0] = char(reason[0] - 'A' + 'a');
    return reason;
}

void report_failure(const std::string& what, const qar_error& error) {
    exit_if_out_of_memory(error);
    fprintf(stderr, "ERROR: %s\nERROR: %s\n", what.c_str(), reason_text(error).c_str());
}

void exit_if_out_of_memory(const qar_error& error) {
    if (error.status == QAR_NO_MEMORY) exit_out_of_memory();
}

void exit_out_of_memory() {
    fputs("ERROR: out of memory\n", stderr);
    exit(107);
}
