// The WhiteSheet: the map of which byte ranges of a download of known size are
// already in the temporary file (the "black" parts of an initially white
// sheet). It decides completeness and detects a writer running into data that
// the other session has already written.
// Portable: no OS header.
#pragma once

#include <cstdint>
#include <vector>

class StateSection;

class WhiteSheet {
public:
    // Bytes first up to last - 1 are in the file.
    struct Range {
        uint64_t first;
        uint64_t last;
    };

    // No ranges, size 0, fblack 0.
    void reset();
    // Stores the total size; nothing else changes.
    void setSize(uint64_t size) { size_ = size; }
    // Registers the bytes position .. position + length - 1. Fails when the
    // block ends beyond size (fblack is then set) or when extending a range
    // runs into a range listed after it.
    bool addBlock(uint64_t position, uint64_t length);
    // True when every byte is present, or when fblack is set.
    bool isComplete() const;

    // Stores or loads the persisted form (keys "size", "fblack", "bcount",
    // "black<i>first", "black<i>last") under the section's name. Loading
    // replaces the contents and fails on a damaged form (a range key missing,
    // a range with first > last or beyond size, an impossible size); the
    // caller then refuses the file.
    bool exchange(StateSection& section);

    uint64_t size() const { return size_; }
    int32_t fblack() const { return fblack_; }
    const std::vector<Range>& ranges() const { return ranges_; }

private:
    uint64_t size_ = 0;
    int32_t fblack_ = 0;
    std::vector<Range> ranges_;  // in creation order, not sorted
};
