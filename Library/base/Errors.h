#pragma once
// Errors that end an operation and reach the user's error box. Everything else is a result.
#include <stdexcept>
#include <string>

// Root of the errors the application shows in its error box; what() is the exact text.
class EVelmorantError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value outside its range (a direction byte from a file or a board reply, a time too long).
class ERangeError : public EVelmorantError {
public:
    using EVelmorantError::EVelmorantError;
};

// Text that should have been a number: "'%s' is not a valid integer value".
class EConvertError : public EVelmorantError {
public:
    using EVelmorantError::EVelmorantError;
};

// A file that could not be written or created ("Unable to write to %s", "Cannot create file ...").
class EFileError : public EVelmorantError {
public:
    using EVelmorantError::EVelmorantError;
};

// A broken promise of the platform ("GetSpecialFolderPath() failed").
class EAssertionFailed : public EVelmorantError {
public:
    using EVelmorantError::EVelmorantError;
};

// Misuse of the serial layer ("Invalid handle in ReadFromSerialPort").
class ESerialError : public EVelmorantError {
public:
    using EVelmorantError::EVelmorantError;
};
