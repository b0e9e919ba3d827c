#pragma once
// The object-storage client a manager owns: the calls it makes and the two ways they fail.

#include "quillmere/Brastow/export.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere::brastow {

// Any failure of the storage client itself. what() never holds a credential.
class QUILLMERE_BRASTOW_API StorageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The request did not produce an answer from the service: invalid parameters, transport
// failure, time-out.
class QUILLMERE_BRASTOW_API StorageCoreError : public StorageError {
public:
    using StorageError::StorageError;
};

// The service answered with an error: its error code (for example "NoSuchBucket"), its
// message and the HTTP status.
class QUILLMERE_BRASTOW_API StorageServiceError : public StorageError {
public:
    StorageServiceError(std::string operation, std::string code, std::string message, long http_status);
    const std::string& operation() const noexcept { return operation_; }
    const std::string& code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    long http_status() const noexcept { return http_status_; }

private:
    std::string operation_;
    std::string code_;
    std::string message_;
    long http_status_;
};

// What an object carries besides its bytes.
struct ObjectAttributes {
    // The object's Content-Type; empty: none is sent and the store's default applies.
    std::string content_type;
};

// An object written in pieces, for content that arrives over time. Nothing is stored until
// commit() returns; an object dropped without commit() leaves the store as it was (work
// begun for it, such as the parts of an upload, is abandoned).
class QUILLMERE_BRASTOW_API ObjectWriter {
public:
    virtual ~ObjectWriter();
    virtual void write(std::string_view bytes) = 0;
    virtual void commit() = 0;
};

// An object store: objects named by bucket and key. Implementations say whether calls may
// overlap.
class QUILLMERE_BRASTOW_API StorageClient {
public:
    virtual ~StorageClient();
    // Stores `body` (raw bytes) as the object; an existing object is replaced.
    virtual void put_object(std::string_view bucket, std::string_view key, std::string_view body,
                            const ObjectAttributes& attributes) = 0;
    // Deletes the object; deleting an object that does not exist succeeds.
    virtual void delete_object(std::string_view bucket, std::string_view key) = 0;
    // Opens an object to be written in pieces. This default collects the pieces and calls
    // put_object on commit; a client that can store pieces as they come overrides it.
    virtual std::unique_ptr<ObjectWriter> open_object(std::string_view bucket, std::string_view key,
                                                      const ObjectAttributes& attributes);
};

}  // namespace quillmere::brastow
