#pragma once

#include <sstream>
#include <string>
#include <vector>

// The comma-separated items of a label map, untrimmed; a trailing comma adds
// no empty item.
inline std::vector<std::string> SplitLabelMap(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        items.push_back(item);
    }
    return items;
}
