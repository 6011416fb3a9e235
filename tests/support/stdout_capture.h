// What a unit under test prints on standard output, where its debug log goes on the screen.
#pragma once

#include <gtest/gtest.h>

#include <string>

// What `call` prints on standard output.
template <typename F>
std::string stdout_of(F call) {
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}
