// The WhiteSheet block map and its persisted form.
// Portable: no OS header. A loaded form comes from a file on disk and is
// checked before it is believed: every range it announces must be present and
// lie within the size, so that a damaged file is refused rather than trusted.
#include "state/white_sheet.h"

#include "state/state_map.h"
#include "state/temp_file_format.h"

#include <string>

void WhiteSheet::reset() {
    size_ = 0;
    fblack_ = 0;
    ranges_.clear();
}

bool WhiteSheet::addBlock(uint64_t position, uint64_t length) {
    // end = position + length, compared without overflowing.
    if (position > size_ || length > size_ - position) {
        fblack_ = 1;
        return false;
    }
    uint64_t end = position + length;
    for (size_t i = 0; i < ranges_.size(); ++i) {
        if (ranges_[i].last != position) continue;
        if (end > ranges_[i].last) ranges_[i].last = end;
        // Running into a range listed later: the other session has written
        // there already. The extension stays.
        for (size_t j = i + 1; j < ranges_.size(); ++j) {
            if (ranges_[j].first < end) return false;
        }
        return true;
    }
    ranges_.push_back(Range{position, end});
    return true;
}

bool WhiteSheet::isComplete() const {
    if (fblack_) return true;
    if (ranges_.empty() || ranges_.front().first != 0) return false;
    for (size_t i = 1; i < ranges_.size(); ++i) {
        if (ranges_[i].first > ranges_[i - 1].last) return false;
    }
    return ranges_.back().last >= size_;
}

bool WhiteSheet::exchange(StateSection& section) {
    uint32_t count = static_cast<uint32_t>(ranges_.size());
    if (section.isStoring()) {
        section.exchangeUInt64("size", size_);
        section.exchangeInt("fblack", fblack_);
        section.exchangeUInt("bcount", count);
        for (uint32_t i = 0; i < count; ++i) {
            std::string index = std::to_string(i);
            section.exchangeUInt64(("black" + index + "first").c_str(), ranges_[i].first);
            section.exchangeUInt64(("black" + index + "last").c_str(), ranges_[i].last);
        }
        return true;
    }

    reset();
    section.exchangeUInt64("size", size_);
    section.exchangeInt("fblack", fblack_);
    section.exchangeUInt("bcount", count);
    // Data offsets are STATE_BLOCK_SIZE + n in a signed 64-bit file position.
    if (size_ > MAX_DOWNLOAD_SIZE) return false;
    // Two keys per range: a count beyond the map's size cannot be honest, and
    // checking it first keeps the allocation bounded by the file.
    if (count > section.map().size() / 2) return false;
    ranges_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string index = std::to_string(i);
        std::string firstField = "black" + index + "first";
        std::string lastField = "black" + index + "last";
        if (!section.map().contains(section.fullKey(firstField.c_str())) ||
            !section.map().contains(section.fullKey(lastField.c_str()))) {
            return false;
        }
        Range range{0, 0};
        section.exchangeUInt64(firstField.c_str(), range.first);
        section.exchangeUInt64(lastField.c_str(), range.last);
        if (range.first > range.last || range.last > size_) return false;
        ranges_.push_back(range);
    }
    return true;
}
