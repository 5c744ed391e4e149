// The settings program's application list (see app_list.h). Portable.
#include "settings_app/app_list.h"

namespace {

bool isLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// At most limit bytes of text, without splitting a double-byte character.
std::string cutAt(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t i = 0;
    while (i < limit) {
        size_t step = isLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
        if (i + step > limit) break;
        i += step;
    }
    return text.substr(0, i);
}

}  // namespace

AppList buildAppList(const std::vector<std::string>& lines) {
    AppList list;
    for (const std::string& line : lines) {
        std::string name = cutAt(line, APP_NAME_BLOCK_SIZE - 1);
        // A line is read as a C string: an embedded zero byte ends it.
        name = name.substr(0, name.find('\0'));
        if (name.empty()) continue;
        list.allowLoad += name;
        list.allowLoad += ';';
        list.names.push_back(name);
    }
    return list;
}

std::string allowLoadValue(int applicationMode, const AppList& list) {
    return applicationMode == 0 ? std::string("*") : list.allowLoad;
}

std::string appListText(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += name;
        text += "\r\n";
    }
    return text;
}
