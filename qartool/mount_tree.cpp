#include "mount_tree.h"

#include <algorithm>
#include <cstring>

const char* mount_name_refusal(const char* name) {
    if (name[0] == '\0') return "its name is empty";
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return "its name is \".\" or \"..\"";
    for (const char* p = name; *p != '\0'; ++p) {
        const unsigned char u = static_cast<unsigned char>(*p);
        if (u == '/') return "its name holds '/'";
        if (u < 0x20 || u == 0x7F) return "its name holds control bytes";
    }
    return nullptr;
}

MountTree build_mount_tree(const std::vector<qar_entry>& snapshot) {
    std::vector<size_t> order;
    order.reserve(snapshot.size());
    for (size_t i = 0; i < snapshot.size(); ++i)
        if (!snapshot[i].deleted) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return snapshot[a].index < snapshot[b].index;
    });

    // A name shared by several records goes to the last of them in index order.
    std::unordered_map<std::string, size_t> last_of_name;
    last_of_name.reserve(order.size());
    for (size_t position : order)
        if (!mount_name_refusal(snapshot[position].name))
            last_of_name[snapshot[position].name] = position;

    MountTree tree;
    tree.files.reserve(last_of_name.size());
    tree.by_name.reserve(last_of_name.size());
    for (size_t position : order) {
        const qar_entry& entry = snapshot[position];
        const char* why = mount_name_refusal(entry.name);
        if (!why && last_of_name[entry.name] != position) why = "a later record has the same name";
        if (why) {
            tree.left_out.push_back({entry.index, entry.name, why});
            continue;
        }
        tree.by_name.emplace(entry.name, tree.files.size());
        tree.files.push_back({entry.name, position, entry.index, entry.size, entry.mtime});
    }
    return tree;
}

const MountFile* mount_tree_find(const MountTree& tree, const char* name) {
    auto found = tree.by_name.find(name);
    return found == tree.by_name.end() ? nullptr : &tree.files[found->second];
}
