// Control of the scripted GPIB driver that the tests load through the real
// run-time binding. Each read and write takes the next scripted outcome; calls
// are logged so that tests can check what the port asked the driver to do.
#pragma once

#include <cstdint>

#define FAKE_GPIB_EXPORT __attribute__((visibility("default")))

extern "C" {

FAKE_GPIB_EXPORT void fake_gpib_reset();
// The outcome of the next ibdev: its result and the status words it leaves.
FAKE_GPIB_EXPORT void fake_gpib_set_ibdev(int result, int status, int err, long count);
// The next read places `placed` bytes of `data` and leaves the given status
// words (ibcntl may differ from `placed` to model a misreporting driver).
FAKE_GPIB_EXPORT void fake_gpib_push_read(int status, int err, long ibcntl,
                                          const std::uint8_t* data, long placed);
FAKE_GPIB_EXPORT void fake_gpib_push_write(int status, int err, long ibcntl);
// Every call so far, as "name(arg,arg);" in order.
FAKE_GPIB_EXPORT const char* fake_gpib_calls();
// Every byte passed to ibwrt so far.
FAKE_GPIB_EXPORT const std::uint8_t* fake_gpib_written(long* count);
}
