#pragma once

#include <stdexcept>
#include <utility>

#include <ftdi.h>

// Owner of one libftdi context: closed and freed exactly once, by whoever holds it last.
class FtdiCtxWrapper {
public:
    FtdiCtxWrapper() noexcept : ctx(ftdi_new()) {}
    FtdiCtxWrapper(FtdiCtxWrapper &&other) noexcept : ctx(std::exchange(other.ctx, nullptr)) {}
    FtdiCtxWrapper &operator=(FtdiCtxWrapper &&other) noexcept {
        if (this != &other) {
            release();
            ctx = std::exchange(other.ctx, nullptr);
        }
        return *this;
    }
    FtdiCtxWrapper(const FtdiCtxWrapper &) = delete;
    FtdiCtxWrapper &operator=(const FtdiCtxWrapper &) = delete;
    ~FtdiCtxWrapper() { release(); }

    // Every libftdi call that takes the context goes through here, so a null context never reaches libftdi.
    template <typename Function, typename... Args>
    auto call(Function function, Args &&...args) const {
        if (ctx == nullptr) {
            throw std::runtime_error("Can't call libftdi function, ctx handle is null");
        }
        return function(ctx, std::forward<Args>(args)...);
    }

    [[nodiscard]] bool valid() const noexcept { return ctx != nullptr; }

private:
    void release() noexcept {
        if (ctx != nullptr) {
            // libftdi closes only what it holds, so this is safe on a context that never opened a device.
            (void)ftdi_usb_close(ctx);
            ftdi_free(ctx);
            ctx = nullptr;
        }
    }

    ftdi_context *ctx;
};
