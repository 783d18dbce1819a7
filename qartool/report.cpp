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

void report_close_failure(const char* archive, const qar_error& error) {
    exit_if_out_of_memory(error);
    fprintf(stderr, "ERROR: %s\n", reason_text(error).c_str());
    fprintf(stderr, "qartool: closing \"%s\" failed, changes to it may be lost\n",
            display_text(archive).c_str());
}

void report_damaged(const char* archive, const char* name, const char* reason) {
    fprintf(stderr, "ERROR: \"%s\" in qar \"%s\" is damaged: %s\n", display_text(name).c_str(),
            display_text(archive).c_str(), display_text(reason).c_str());
}

std::string file_failure_line(const std::string& name, const std::string& reason) {
    return "\"" + display_text(name.c_str()) + "\": " + reason + "\n";
}

void report_summary(int not_done, int asked, const char* what) {
    fflush(stdout);
    fprintf(stderr, "qartool: %d of %d %s\n", not_done, asked, what);
}

void exit_if_out_of_memory(const qar_error& error) {
    if (error.status == QAR_NO_MEMORY) exit_out_of_memory();
}

void exit_out_of_memory() {
    fputs("ERROR: out of memory\n", stderr);
    exit(107);
}
