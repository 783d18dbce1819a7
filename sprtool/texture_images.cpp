#include "texture_images.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform.h"
#include "png_size.h"

namespace {

std::string lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return text;
}

bool ends_with_png(const std::string& lower) {
    return lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".png") == 0;
}

struct FindCloser {
    PlatFind* search;
    ~FindCloser() { plat_find_close(search); }
};

struct ReadCloser {
    PlatInFile* file = nullptr;
    ~ReadCloser() { plat_close_read(file); }
};

}  // namespace

std::string open_image_folder(const std::string& path, ImageFolder* folder) {
    folder->path = path;
    folder->by_lowered.clear();
    if (plat_file_kind(path.c_str()) == PLAT_FILE_MISSING) return std::strerror(ENOENT);
    if (!plat_can_list_directory(path.c_str())) {
        return errno ? std::strerror(errno) : "it is no folder that can be read";
    }
    PlatFindEntry entry;
    FindCloser search{plat_find_first((path + "/*").c_str(), &entry)};
    for (bool more = search.search != nullptr; more;
         more = plat_find_next(search.search, &entry) != 0) {
        if (entry.is_directory) continue;
        std::string name = entry.name;
        std::string key = lowered(name);
        if (!ends_with_png(key)) continue;
        auto found = folder->by_lowered.find(key);
        if (found == folder->by_lowered.end() || name < found->second) {
            folder->by_lowered[key] = name;
        }
    }
    return "";
}

std::string find_texture_image(const ImageFolder& folder, const std::string& texture) {
    if (texture.empty()) return "";
    const std::string exact = folder.path + "/" + texture + ".png";
    auto found = folder.by_lowered.find(lowered(texture + ".png"));
    if (found == folder.by_lowered.end()) return "";
    // A name spelled exactly as asked for is there whenever the system finds it.
    PlatFileId id;
    if (found->second != texture + ".png" && plat_path_id(exact.c_str(), 1, &id)) return exact;
    return folder.path + "/" + found->second;
}

std::string read_texture_image(const std::string& path, bool keep_bytes, TextureImage* image) {
    ReadCloser in;
    PlatFileInfo info;
    switch (plat_open_read(path.c_str(), TEXTURE_IMAGE_MAX_SIZE, &in.file, &info)) {
    case PLAT_READ_OK: break;
    case PLAT_READ_EMPTY: return "the file is empty";
    case PLAT_READ_TOO_LARGE: return "the file is larger than 256 MiB";
    default: return errno ? std::strerror(errno) : "it could not be opened";
    }
    // Only the size is needed without the bytes: the header lies in the first 64.
    // The bytes go straight where they are kept: an image may be large.
    size_t wanted = keep_bytes || info.size < 64 ? size_t(info.size) : 64;
    std::string bytes(wanted, '\0');
    size_t got = 0;
    if (!plat_read_full(in.file, reinterpret_cast<uint8_t*>(&bytes[0]), wanted, &got))
        return std::strerror(errno);
    if (got != wanted) return "the file ended early";
    std::string bad = png_size(reinterpret_cast<const unsigned char*>(bytes.data()), got,
                               &image->width, &image->height);
    if (!bad.empty()) return bad;
    if (keep_bytes) image->bytes = std::move(bytes);
    return "";
}
