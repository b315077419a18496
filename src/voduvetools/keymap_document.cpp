#include "voduvetools/keymap_document.hpp"

#include <limits>

#include "common/format.hpp"

namespace corvel::voduvetools {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// The line as Unicode scalars with the byte offset of each, so that captures can be
// cut from the original bytes. A byte that starts no valid UTF-8 sequence counts as one
// replacement character (never blank, quote or line end), so such lines still parse.
struct DecodedLine {
    std::vector<char32_t> scalars;
    std::vector<std::size_t> offsets;  // one more than scalars: the end of the line last

    explicit DecodedLine(std::string_view line) {
        scalars.reserve(line.size());
        offsets.reserve(line.size() + 1);
        std::size_t i = 0;
        while (i < line.size()) {
            offsets.push_back(i);
            const auto [scalar, length] = decodeAt(line, i);
            scalars.push_back(scalar);
            i += length;
        }
        offsets.push_back(line.size());
    }

    std::size_t size() const { return scalars.size(); }

    static std::pair<char32_t, std::size_t> decodeAt(std::string_view s, std::size_t i) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        if (b0 < 0x80) return {b0, 1};
        std::size_t length = 0;
        char32_t scalar = 0;
        char32_t minimum = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2, scalar = b0 & 0x1F, minimum = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3, scalar = b0 & 0x0F, minimum = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4, scalar = b0 & 0x07, minimum = 0x10000;
        } else {
            return {kReplacementCharacter, 1};
        }
        if (i + length > s.size()) return {kReplacementCharacter, 1};
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return {kReplacementCharacter, 1};
            scalar = (scalar << 6) | (b & 0x3F);
        }
        if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
            return {kReplacementCharacter, 1};
        }
        return {scalar, length};
    }
};

// \s of the action-line pattern: the Unicode White_Space property.
bool isPatternSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// The characters that '.' does not cross and before which a final '$' may match.
bool isLineTerminator(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Hand-written matcher for the script action line pattern
//   ^SCR\s+\S+\s+\S+\s+(?:"([^"]+)"|(\S+))\s+"([^"]*)"\s+(?:"([^"]*)"|(.*))$
// with first-match (backtracking) semantics. Every run of \s+ or \S+ that is followed
// by its complement can only match maximally, and every [^"] run ends at the next
// quote, so the only real choice points are the two alternations; each is tried at
// most twice, which keeps the match linear in the line length.
class ScriptLineMatcher {
public:
    explicit ScriptLineMatcher(const DecodedLine& line) : s_(line.scalars), n_(line.size()) {}

    struct Match {
        std::optional<Span> commandQuoted, commandBare, description, pathQuoted, pathBare;
    };

    std::optional<Match> match() const {
        if (n_ < 3 || s_[0] != U'S' || s_[1] != U'C' || s_[2] != U'R') return std::nullopt;
        std::size_t p = 3;
        // \s+ \S+ \s+ \S+ \s+
        for (int run = 0; run < 5; ++run) {
            const std::size_t q = (run % 2 == 0) ? spaces(p) : nonSpaces(p);
            if (q == p) return std::nullopt;
            p = q;
        }
        Match result;
        // First alternative: "([^"]+)"
        if (p < n_ && s_[p] == U'"') {
            const std::size_t close = nextQuote(p + 1);
            if (close < n_ && close > p + 1 && matchTail(close + 1, result)) {
                result.commandQuoted = Span{p + 1, close};
                return result;
            }
        }
        // Second alternative: (\S+)
        const std::size_t q = nonSpaces(p);
        if (q > p && matchTail(q, result)) {
            result.commandBare = Span{p, q};
            return result;
        }
        return std::nullopt;
    }

private:
    // \s+"([^"]*)"\s+(?:"([^"]*)"|(.*))$ from p.
    bool matchTail(std::size_t p, Match& result) const {
        std::size_t q = spaces(p);
        if (q == p || q >= n_ || s_[q] != U'"') return false;
        const std::size_t descriptionEnd = nextQuote(q + 1);
        if (descriptionEnd >= n_) return false;
        const Span description{q + 1, descriptionEnd};
        p = descriptionEnd + 1;
        const std::size_t start = spaces(p);
        if (start == p) return false;
        // A shorter \s+ would start the last group on a blank: no quote, and '.*' would
        // meet the same line terminator as from here, so only the maximal run can match.
        if (start < n_ && s_[start] == U'"') {
            const std::size_t close = nextQuote(start + 1);
            if (close < n_ && dollarAt(close + 1)) {
                result.description = description;
                result.pathQuoted = Span{start + 1, close};
                return true;
            }
        }
        std::size_t end = start;
        while (end < n_ && !isLineTerminator(s_[end])) ++end;
        if (dollarAt(end)) {
            result.description = description;
            result.pathBare = Span{start, end};
            return true;
        }
        return false;
    }

    // '$' without multi-line mode: the end, or before a line terminator that ends the line.
    bool dollarAt(std::size_t p) const { return p == n_ || (p + 1 == n_ && isLineTerminator(s_[p])); }

    std::size_t spaces(std::size_t p) const {
        while (p < n_ && isPatternSpace(s_[p])) ++p;
        return p;
    }
    std::size_t nonSpaces(std::size_t p) const {
        while (p < n_ && !isPatternSpace(s_[p])) ++p;
        return p;
    }
    std::size_t nextQuote(std::size_t p) const {
        while (p < n_ && s_[p] != U'"') ++p;
        return p;
    }

    const std::vector<char32_t>& s_;
    std::size_t n_;
};

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanksAndTabs(std::string_view text) {
    while (!text.empty() && isBlankOrTab(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlankOrTab(text.back())) text.remove_suffix(1);
    return text;
}

// Base-10 with an optional sign and digits only, within the 64-bit signed range.
std::optional<std::int64_t> parseInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate negatively so that the minimum value fits.
    std::int64_t value = 0;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (kMin + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == kMin) return std::nullopt;
    return -value;
}

std::string escapeQuoted(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string cut(std::string_view line, const DecodedLine& decoded, const Span& span) {
    const std::size_t begin = decoded.offsets[span.begin];
    const std::size_t end = decoded.offsets[span.end];
    return std::string(line.substr(begin, end - begin));
}

}  // namespace

VoduveKeymapError::VoduveKeymapError(Kind kind, std::string message, std::vector<VoduveKeyRecord> conflicts)
    : ErrorException(Error{kVoduveKeymapErrorDomain, static_cast<std::int64_t>(kind), std::move(message)}),
      kind_(kind),
      conflicts_(std::move(conflicts)) {}

VoduveKeymapError VoduveKeymapError::shortcutConflict(std::vector<VoduveKeyRecord> conflicts) {
    return VoduveKeymapError(Kind::shortcutConflict, kShortcutConflictMessage, std::move(conflicts));
}

VoduveKeymapError VoduveKeymapError::verificationFailed(const std::string& detail) {
    return VoduveKeymapError(Kind::verificationFailed, kVerificationFailedPrefix + detail, {});
}

VoduveKeymapDocument VoduveKeymapDocument::parse(std::string text) {
    VoduveKeymapDocument document;
    document.newline = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    document.hadTrailingNewline = !text.empty() && (text.back() == '\n' || text.back() == '\r');

    // "\r\n", a lone "\r" and "\n" each end a line.
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            document.lines.push_back(std::move(current));
            current.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            current += c;
        }
    }
    document.lines.push_back(std::move(current));
    if (document.hadTrailingNewline && document.lines.size() > 1 && document.lines.back().empty()) {
        document.lines.pop_back();
    }

    for (std::size_t index = 0; index < document.lines.size(); ++index) {
        if (auto action = parseScriptLine(document.lines[index], index)) document.actions.push_back(std::move(*action));
        if (auto key = parseKeyLine(document.lines[index], index)) document.keys.push_back(std::move(*key));
    }
    document.originalText = std::move(text);
    return document;
}

std::optional<VoduveActionRecord> VoduveKeymapDocument::parseScriptLine(std::string_view line, std::size_t index) {
    if (!line.starts_with("SCR ")) return std::nullopt;
    const DecodedLine decoded(line);
    const auto match = ScriptLineMatcher(decoded).match();
    if (!match) return std::nullopt;
    VoduveActionRecord record;
    record.lineIndex = index;
    if (match->commandQuoted) {
        record.commandID = cut(line, decoded, *match->commandQuoted);
    } else if (match->commandBare) {
        record.commandID = cut(line, decoded, *match->commandBare);
    } else {
        return std::nullopt;
    }
    if (match->description) record.description = cut(line, decoded, *match->description);
    std::string path;
    if (match->pathQuoted) {
        path = cut(line, decoded, *match->pathQuoted);
    } else if (match->pathBare) {
        path = cut(line, decoded, *match->pathBare);
    }
    record.scriptPath = std::string(trimBlanksAndTabs(path));
    return record;
}

std::optional<VoduveKeyRecord> VoduveKeymapDocument::parseKeyLine(std::string_view line, std::size_t index) {
    if (!line.starts_with("KEY ")) return std::nullopt;
    std::string_view fields = line;
    std::optional<std::string> comment;
    if (const auto hash = line.find('#'); hash != std::string_view::npos) {
        fields = line.substr(0, hash);
        comment = std::string(trimBlanksAndTabs(line.substr(hash + 1)));
    }
    std::string_view pieces[5];
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < fields.size() && count < 5) {
        while (i < fields.size() && isBlankOrTab(fields[i])) ++i;
        const std::size_t start = i;
        while (i < fields.size() && !isBlankOrTab(fields[i])) ++i;
        if (i > start) pieces[count++] = fields.substr(start, i - start);
    }
    if (count < 5 || pieces[0] != "KEY") return std::nullopt;
    const auto modifierCode = parseInteger(pieces[1]);
    const auto keyCode = parseInteger(pieces[2]);
    const auto sectionID = parseInteger(pieces[4]);
    if (!modifierCode || !keyCode || !sectionID) return std::nullopt;
    return VoduveKeyRecord{index, *modifierCode, *keyCode, std::string(pieces[3]), *sectionID, std::move(comment)};
}

std::string VoduveKeymapDocument::normalizedCommandID(std::string_view commandID) {
    if (commandID.starts_with('_')) return std::string(commandID);
    return "_" + std::string(commandID);
}

bool VoduveKeymapDocument::sameCommand(std::string_view a, std::string_view b) {
    return normalizedCommandID(a) == normalizedCommandID(b);
}

std::vector<VoduveKeyRecord> VoduveKeymapDocument::conflictingKeys(const VoduveShortcut& shortcut,
                                                                   std::int64_t keyCode, std::int64_t sectionID,
                                                                   const std::optional<std::string>& excluding) const {
    const std::int64_t modifierCode = shortcut.modifierCode();
    std::vector<VoduveKeyRecord> result;
    for (const auto& key : keys) {
        if (key.modifierCode != modifierCode || key.keyCode != keyCode || key.sectionID != sectionID) continue;
        if (excluding && sameCommand(key.commandID, *excluding)) continue;
        result.push_back(key);
    }
    return result;
}

bool VoduveKeymapDocument::keyBindingMatches(const std::optional<VoduveShortcut>& shortcut,
                                             const std::vector<VoduveKeyRecord>& actionKeys) {
    if (!shortcut) return actionKeys.empty();
    if (actionKeys.size() != 1) return false;
    const auto& key = actionKeys.front();
    return key.modifierCode == shortcut->modifierCode() && key.keyCode == shortcut->keyCode && key.sectionID == 0;
}

std::optional<std::string> VoduveKeymapDocument::descriptionFromComment(std::string_view comment) {
    static constexpr std::string_view kSeparator = " : ";
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto found = comment.find(kSeparator, start);
        if (found == std::string_view::npos) break;
        parts.push_back(comment.substr(start, found - start));
        start = found + kSeparator.size();
    }
    parts.push_back(comment.substr(start));
    if (parts.size() < 3) return std::nullopt;
    std::string joined;
    for (std::size_t i = 2; i < parts.size(); ++i) {
        if (i > 2) joined += kSeparator;
        joined += parts[i];
    }
    const auto trimmed = trimBlanksAndTabs(joined);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

std::string VoduveKeymapDocument::scriptLine(std::string_view commandID, std::string_view description,
                                             std::string_view scriptPath) {
    if (commandID.starts_with('_')) commandID.remove_prefix(1);
    std::string line = "SCR 4 0 ";
    line += commandID;
    line += " \"";
    line += escapeQuoted(description);
    line += "\" \"";
    line += escapeQuoted(scriptPath);
    line += '"';
    return line;
}

std::string VoduveKeymapDocument::keyLine(std::string_view commandID, std::string_view description,
                                          const VoduveShortcut& shortcut) {
    std::string line = "KEY ";
    line += formatInteger(shortcut.modifierCode());
    line += ' ';
    line += formatInteger(shortcut.keyCode);
    line += ' ';
    line += normalizedCommandID(commandID);
    line += " 0\t\t # Main : ";
    line += shortcut.displayText();
    line += " : ";
    line += description;
    return line;
}

std::string VoduveKeymapDocument::upsert(std::string_view commandID, std::string_view description,
                                         std::string_view scriptPath, const std::optional<VoduveShortcut>& shortcut,
                                         bool replaceConflict) const {
    std::vector<VoduveKeyRecord> conflicts;
    if (shortcut) conflicts = conflictingKeys(*shortcut, shortcut->keyCode, 0, std::string(commandID));
    if (!conflicts.empty() && !replaceConflict) throw VoduveKeymapError::shortcutConflict(conflicts);

    std::vector<const VoduveActionRecord*> ownActions;
    for (const auto& action : actions) {
        if (sameCommand(action.commandID, commandID)) ownActions.push_back(&action);
    }
    std::vector<VoduveKeyRecord> ownKeys;
    for (const auto& key : keys) {
        if (sameCommand(key.commandID, commandID)) ownKeys.push_back(key);
    }
    const bool alreadyRegistered = ownActions.size() == 1 && ownActions.front()->description == description &&
                                   ownActions.front()->scriptPath == scriptPath &&
                                   keyBindingMatches(shortcut, ownKeys) && conflicts.empty();
    if (alreadyRegistered) return originalText;

    std::vector<bool> removed(lines.size(), false);
    auto remove = [&](std::size_t index) {
        if (index < removed.size()) removed[index] = true;
    };
    for (const auto& action : actions) {
        if (sameCommand(action.commandID, commandID) || action.scriptPath == scriptPath) remove(action.lineIndex);
    }
    for (const auto& key : ownKeys) remove(key.lineIndex);
    if (replaceConflict) {
        for (const auto& key : conflicts) remove(key.lineIndex);
    }

    std::vector<std::string_view> kept;
    kept.reserve(lines.size() + 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!removed[i]) kept.push_back(lines[i]);
    }
    while (!kept.empty() && kept.back().empty()) kept.pop_back();

    const std::string action = scriptLine(commandID, description, scriptPath);
    kept.push_back(action);
    std::string binding;
    if (shortcut) {
        binding = keyLine(commandID, description, *shortcut);
        kept.push_back(binding);
    }

    std::string text;
    for (const auto& line : kept) {
        text += line;
        text += newline;
    }
    return text;
}

}  // namespace corvel::voduvetools
