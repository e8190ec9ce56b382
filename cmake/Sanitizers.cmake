# Sanitizer builds. Each option instruments the whole project; a sanitized
# build goes in a folder of its own (scripts/test uses build-asan and
# build-tsan) because the runtimes cannot share a process.
#   PLOGGER_SANITIZE         AddressSanitizer + UndefinedBehaviorSanitizer
#   PLOGGER_SANITIZE_THREAD  ThreadSanitizer

option(PLOGGER_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(PLOGGER_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)

if(PLOGGER_SANITIZE AND PLOGGER_SANITIZE_THREAD)
    message(FATAL_ERROR "PLOGGER_SANITIZE and PLOGGER_SANITIZE_THREAD exclude each other: use two build folders")
endif()

if(PLOGGER_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(PLOGGER_SANITIZE_THREAD)
    if(PLOGGER_FUZZ)
        message(FATAL_ERROR "PLOGGER_SANITIZE_THREAD cannot be combined with PLOGGER_FUZZ (AddressSanitizer)")
    endif()
    # -O1 (after the build type's -O0) keeps the instrumented tests well
    # inside their timeouts; the frame pointers keep report stacks whole.
    add_compile_options(-fsanitize=thread -O1 -g -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()
