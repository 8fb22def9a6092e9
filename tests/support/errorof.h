// The component error a call raises; a test failure when it raises none.
#pragma once

#include <gtest/gtest.h>

#include "component/error.h"

namespace testsupport {

template <typename F>
component::Error ErrorOf(F&& f) {
    try {
        f();
    } catch (const component::Error& e) {
        return e;
    }
    ADD_FAILURE() << "no error raised";
    return {};
}

}  // namespace testsupport
