// The diagnostic step's search for the repeating bus cycle in a copy of the sequence buffer,
// and its publication into the report when it changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace analysis {

class SequenceBuffer;
struct SequenceCycle;

class CycleAnalyzer {
public:
    CycleAnalyzer();
    ~CycleAnalyzer();

    // Looks for the repetition in `sequence`. Returns true when one was found and it differs
    // from the last published one; publish() then writes it.
    bool analyze(const SequenceBuffer& sequence);
    // Clears the result part of `report` and writes the last found repetition.
    void publish(uint8_t* report) const;

    std::size_t distance() const { return distance_; }

private:
    struct Result;

    bool find(const SequenceBuffer& sequence, std::size_t* first, std::size_t* distance) const;
    void build(const SequenceBuffer& sequence, std::size_t first, std::size_t distance, Result& out) const;

    std::size_t distance_ = 0;
    std::unique_ptr<Result> published_;
    std::unique_ptr<Result> candidate_;
};

}  // namespace analysis
