#include "common/error.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

namespace corvel {

Error Error::fromErrno(int errnoValue, const std::string& context) {
    // strerror_r in its GNU form returns the text; it may or may not use the buffer.
    char buffer[256] = {};
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    std::string message = context.empty() ? std::string(text) : context + ": " + text;
    return Error{kPosixErrorDomain, errnoValue, std::move(message)};
}

Error Error::fromCurrentException() {
    try {
        throw;
    } catch (const ErrorException& e) {
        return e.error();
    } catch (const std::bad_alloc&) {
        return Error{kPosixErrorDomain, ENOMEM, kOutOfMemoryMessage};
    } catch (const std::filesystem::filesystem_error& e) {
        std::string context = e.path1().empty() ? std::string() : e.path1().string();
        if (e.code().category() == std::generic_category() || e.code().category() == std::system_category()) {
            return fromErrno(e.code().value(), context);
        }
        return Error{kInternalErrorDomain, e.code().value(), e.what()};
    } catch (const std::system_error& e) {
        if (e.code().category() == std::generic_category() || e.code().category() == std::system_category()) {
            return fromErrno(e.code().value(), "");
        }
        return Error{kInternalErrorDomain, e.code().value(), e.what()};
    } catch (const std::exception& e) {
        return Error{kInternalErrorDomain, 0, e.what()};
    } catch (...) {
        return Error{kInternalErrorDomain, 0, "An unexpected error occurred."};
    }
}

}  // namespace corvel
