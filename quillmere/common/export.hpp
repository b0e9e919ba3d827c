#pragma once
// QUILLMERE_COMMON_API marks the types of the static core that cross module boundaries:
// the errors a module throws and a host catches, the interfaces a host implements and a
// module calls. The core is compiled into every module with hidden symbols; marked types
// keep default visibility, so their type information is one and the same in every module
// and in the host (catch by type, dynamic_cast).

#if defined(__GNUC__) || defined(__clang__)
#define QUILLMERE_COMMON_API __attribute__((visibility("default")))
#else
#define QUILLMERE_COMMON_API
#endif
