#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace corvel {

// The one error value of the project: a domain, a numeric code and the message the
// user sees unchanged.
struct Error {
    std::string domain;
    std::int64_t code = 0;
    std::string message;

    friend bool operator==(const Error&, const Error&) = default;

    // An error of the file system or another POSIX call: domain "POSIX", the errno as
    // code, and the system's text after the given context ("open foo: No such file").
    static Error fromErrno(int errnoValue, const std::string& context);

    // The error that the exception being handled stands for; call it inside a catch block.
    // An ErrorException gives its own error, running out of memory and errors of the file
    // system and the system get messages of their own, anything else its text.
    static Error fromCurrentException();
};

// Subsystems that report failures by exception throw this one type.
class ErrorException : public std::exception {
public:
    explicit ErrorException(Error error) : error_(std::move(error)) {}
    const Error& error() const noexcept { return error_; }
    const char* what() const noexcept override { return error_.message.c_str(); }

private:
    Error error_;
};

inline constexpr const char* kPosixErrorDomain = "POSIX";
inline constexpr const char* kInternalErrorDomain = "OrvantaCorvel.Internal";
inline constexpr const char* kOutOfMemoryMessage = "There was not enough memory to finish this.";

}  // namespace corvel
