// The k and v commands of sprtool: check a table, and draw it as a web page.
//   sprtool k <stb> [<texture folder>]
//   sprtool v <stb> <out.html> [<texture folder>]
// Both find `<texture>.png` in the folder (either case) and check the
// sprites against its size. Messages go to standard error, k's findings to
// standard output.
#pragma once

// `args` are the words after the command: `count` of them.
// k: status 0 when nothing was found, 2 when something was (a finding, a
// part of the STB file not read: a read error or a tail shorter than a
// record, an image that could not be read), 1 when the check could not run.
int run_check_command(int count, char** args);

// v: status 0 when the page was written, 2 when it was written but a part of
// the input could not be used (each part has its own message), 1 when
// nothing was written. Findings do not change the status: they are on the
// page.
int run_view_command(int count, char** args);
