#pragma once

// Python's view of a board timeout: a datetime.timedelta (or a float of seconds) on the way in, a
// datetime.timedelta on the way out, a signed 64-bit nanosecond count in between.
//
// This replaces pybind11's own chrono conversion for std::chrono::nanoseconds in this module, which must
// therefore never include <pybind11/chrono.h>: that one silently wraps values beyond the 64-bit range into
// unrelated timeouts, and it imports the datetime C API through an unguarded global that concurrent first
// uses would race on when the interpreter runs without a GIL.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

// The header defines its own copy of the API pointer, which this file never uses: it keeps the pointer
// behind a call-once guard instead.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

namespace timeout_conversion {

// Any thread, attached. Imports the datetime C API on first use; an import failure propagates as that
// Python error and a later call tries again.
inline const PyDateTime_CAPI &datetime_api() {
    PYBIND11_CONSTINIT static pybind11::gil_safe_call_once_and_store<const PyDateTime_CAPI *> storage;
    return *storage
                .call_once_and_store_result([] {
                    auto *api = static_cast<const PyDateTime_CAPI *>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
                    if (api == nullptr) {
                        throw pybind11::error_already_set();
                    }
                    return api;
                })
                .get_stored();
}

[[noreturn]] inline void refuse(pybind11::handle value) {
    throw std::overflow_error("timeout " + pybind11::repr(value).cast<std::string>() +
                              " is out of range: it must be shorter than 2**63 nanoseconds (about 106751 days)"
                              " in either direction");
}

// Exact to the microsecond: ((days * 86400 + seconds) * 10**6 + microseconds) * 1000.
inline std::chrono::nanoseconds from_timedelta(pybind11::handle delta) {
    const std::int64_t whole_seconds =
        std::int64_t{PyDateTime_DELTA_GET_DAYS(delta.ptr())} * 86400 + PyDateTime_DELTA_GET_SECONDS(delta.ptr());
    std::int64_t micros = 0;
    std::int64_t nanos = 0;
    if (__builtin_mul_overflow(whole_seconds, std::int64_t{1'000'000}, &micros) ||
        __builtin_add_overflow(micros, std::int64_t{PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr())}, &micros) ||
        __builtin_mul_overflow(micros, std::int64_t{1'000}, &nanos)) {
        refuse(delta);
    }
    return std::chrono::nanoseconds(nanos);
}

// Seconds scaled in double precision, then truncated toward zero, so 1e-10 s is 0 ns.
inline std::chrono::nanoseconds from_seconds(pybind11::handle number) {
    const double nanos = PyFloat_AS_DOUBLE(number.ptr()) * 1e9;
    // 2**63 itself does not fit; every double below it in magnitude does, after truncation.
    if (!std::isfinite(nanos) || std::fabs(nanos) >= 0x1p63) {
        refuse(number);
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

// The stored count truncated toward zero to whole microseconds, split the way timedelta's constructor
// expects it; the datetime module normalises the signs.
inline pybind11::handle to_timedelta(std::chrono::nanoseconds value) {
    constexpr std::int64_t nanos_per_day = 86'400'000'000'000;
    const std::int64_t n = value.count();
    const std::int64_t days = n / nanos_per_day;
    const std::int64_t rest = n - days * nanos_per_day;
    const std::int64_t seconds = rest / 1'000'000'000;
    const std::int64_t micros = (rest - seconds * 1'000'000'000) / 1'000;
    const PyDateTime_CAPI &api = datetime_api();
    return api.Delta_FromDelta(static_cast<int>(days), static_cast<int>(seconds), static_cast<int>(micros), 1,
                               api.DeltaType);
}

} // namespace timeout_conversion

namespace pybind11::detail {

// Accepts datetime.timedelta and float (seconds), subclasses included; everything else, None and int among
// them, is not a timeout and gives TypeError. A timeout that does not fit raises OverflowError instead of
// being loaded, so the assignment it was meant for does not happen.
template <>
class type_caster<std::chrono::nanoseconds> {
public:
    bool load(handle src, bool /*convert*/) {
        if (!src) {
            return false;
        }
        const PyDateTime_CAPI &api = timeout_conversion::datetime_api();
        if (PyObject_TypeCheck(src.ptr(), api.DeltaType)) {
            value = timeout_conversion::from_timedelta(src);
            return true;
        }
        if (PyFloat_Check(src.ptr())) {
            value = timeout_conversion::from_seconds(src);
            return true;
        }
        return false;
    }

    static handle cast(std::chrono::nanoseconds src, return_value_policy /*policy*/, handle /*parent*/) {
        return timeout_conversion::to_timedelta(src);
    }

    PYBIND11_TYPE_CASTER(std::chrono::nanoseconds, const_name("datetime.timedelta"));
};

} // namespace pybind11::detail
