#pragma once

#include <exception>
#include <string>

class TExceptionClass;

// The base of every error the program raises on purpose: it carries the
// message the user is shown in the error box.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }
    // The most derived kind, so that a caught failure can be raised again
    // later, on another thread, as what it was.
    virtual const TExceptionClass& Class() const;

private:
    std::string FMessage;
};

// The kind of an exception, able to raise a new one with a given message.
class TExceptionClass {
public:
    virtual ~TExceptionClass() = default;
    [[noreturn]] virtual void Raise(const std::string& message) const = 0;
};

template <class E>
const TExceptionClass& ClassOf() {
    struct TClass final : TExceptionClass {
        [[noreturn]] void Raise(const std::string& message) const override { throw E(message); }
    };
    static const TClass instance;
    return instance;
}

// Derive an exception kind as `class EX : public TExceptionOf<EX> { using TExceptionOf::TExceptionOf; };`
// so that Class() names it without further code.
template <class Self, class Base = Exception>
class TExceptionOf : public Base {
public:
    using Base::Base;
    const TExceptionClass& Class() const override { return ClassOf<Self>(); }
};

// An internal consistency check failed; ordinary use cannot reach one.
class EAssertionFailed : public TExceptionOf<EAssertionFailed> {
public:
    using TExceptionOf::TExceptionOf;
};

// "Assertion failure (Unit, line N)"
std::string AssertionText(const char* unitName, int line);

inline void Assert(bool condition, const char* unitName, int line) {
    if (!condition)
        throw EAssertionFailed(AssertionText(unitName, line));
}

// A file the user named cannot be opened for reading.
class EFOpenError : public TExceptionOf<EFOpenError> {
public:
    using TExceptionOf::TExceptionOf;
};

// A file the user named cannot be created or written.
class EFCreateError : public TExceptionOf<EFCreateError> {
public:
    using TExceptionOf::TExceptionOf;
};

// A value outside the range a property or table index allows.
class ERangeError : public TExceptionOf<ERangeError> {
public:
    using TExceptionOf::TExceptionOf;
};
