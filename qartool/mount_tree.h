// What a mounted archive shows: one folder holding a file for each live
// record whose name can be a file name, in index order.
//
// A record is left out, with the reason for a notice, when its name is
// empty, is "." or "..", holds '/' or a control byte (below 0x20, or 0x7F),
// or when a later record (a higher index) has the same name: a folder holds
// one file of a name, and the later record is the one shown. So nothing an
// archive holds can make the folder show anything outside itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "qar/qar.h"

struct MountFile {
    std::string name;
    size_t position;  // in the archive's snapshot (qar_read)
    int32_t index;
    uint32_t size;
    int64_t mtime;    // seconds since 1970 UTC, or QAR_TIME_UNKNOWN
};

struct LeftOutRecord {
    int32_t index;
    std::string name;  // as stored; escape it before printing
    const char* why;   // "its name holds '/'", ...
};

struct MountTree {
    std::vector<MountFile> files;                     // index order
    std::unordered_map<std::string, size_t> by_name;  // name -> place in files
    std::vector<LeftOutRecord> left_out;              // index order
};

// Why a record of this name cannot be a file of the folder, or null when it
// can.
const char* mount_name_refusal(const char* name);

// The folder for a snapshot (entry i at position i). Deleted entries are
// left out without a notice.
MountTree build_mount_tree(const std::vector<qar_entry>& snapshot);

// The file of that name (bytes compared as they are), or null.
const MountFile* mount_tree_find(const MountTree& tree, const char* name);
