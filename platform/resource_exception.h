#pragma once
// Thrown by a constructor when a system object (an event, a mutex) cannot be created.
// The only exception the product throws; nothing in the protocol or transport layers
// lets one through.

#include <stdexcept>

class ResourceException : public std::runtime_error {
public:
    explicit ResourceException(const char* what) : std::runtime_error(what) {}
};
