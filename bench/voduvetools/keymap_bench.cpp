// Parsing voduve-kb.ini lines must stay linear in the line length: a 200,000-character
// line parses in well under 10 ms, and doubling the length doubles the time (the
// reported complexity is O(N)).
#include <benchmark/benchmark.h>

#include "voduvetools/keymap_document.hpp"

namespace {

using corvel::voduvetools::VoduveKeymapDocument;

std::string quotePairs(std::size_t length) {
    std::string line = "SCR 4 0 ";
    while (line.size() < length) line += "\" ";
    return line;
}

void ScriptLineManyQuotes(benchmark::State& state) {
    const auto line = quotePairs(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(VoduveKeymapDocument::parseScriptLine(line, 0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(ScriptLineManyQuotes)->RangeMultiplier(2)->Range(25'000, 400'000)->Complexity(benchmark::oN);

void ScriptLineLongBlanks(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::string line = "SCR 4 0 \"X" + std::string(n, ' ') + "\" \"d\"" + std::string(n, ' ') + "\v x";
    for (auto _ : state) benchmark::DoNotOptimize(VoduveKeymapDocument::parseScriptLine(line, 0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(ScriptLineLongBlanks)->RangeMultiplier(2)->Range(25'000, 400'000)->Complexity(benchmark::oN);

void DocumentWithLongLines(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::string keyLine = "KEY";
    while (keyLine.size() < n) keyLine += " 1";
    const std::string text = quotePairs(n) + "\r\n" + keyLine + "\r\nSCR 4 0 X \"d\" " + std::string(n, 'p') + "\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(VoduveKeymapDocument::parse(text));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(DocumentWithLongLines)->RangeMultiplier(2)->Range(25'000, 400'000)->Complexity(benchmark::oN);

}  // namespace
