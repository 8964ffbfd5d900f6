// Control of the scripted GPIB driver that the tests load through the real
// run-time binding. Each read and write takes the next scripted outcome; calls
// are logged so that tests can check what the port asked the driver to do.
#pragma once

#include <cstdint>

extern "C" {

void fake_gpib_reset();
// The outcome of the next ibdev: its result and the status words it leaves.
void fake_gpib_set_ibdev(int result, int status, int err, long count);
// The next read places `placed` bytes of `data` and leaves the given status
// words (ibcntl may differ from `placed` to model a misreporting driver).
void fake_gpib_push_read(int status, int err, long ibcntl, const std::uint8_t* data, long placed);
void fake_gpib_push_write(int status, int err, long ibcntl);
// Every call so far, as "name(arg,arg);" in order.
const char* fake_gpib_calls();
// Every byte passed to ibwrt so far.
const std::uint8_t* fake_gpib_written(long* count);
}
