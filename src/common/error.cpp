#include "common/error.hpp"

#include <cstring>

namespace corvel {

Error Error::fromErrno(int errnoValue, const std::string& context) {
    // strerror_r in its GNU form returns the text; it may or may not use the buffer.
    char buffer[256] = {};
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    std::string message = context.empty() ? std::string(text) : context + ": " + text;
    return Error{kPosixErrorDomain, errnoValue, std::move(message)};
}

}  // namespace corvel
