#include <stdexcept>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ftdi/ftdi_device.hpp"
#include "ftdi/ftdi_driver.hpp"

namespace {
int frees = 0;
int closes = 0;
} // namespace

extern "C" {
void __real_ftdi_free(ftdi_context *ftdi);
int __real_ftdi_usb_close(ftdi_context *ftdi);
void __wrap_ftdi_free(ftdi_context *ftdi) {
    ++frees;
    __real_ftdi_free(ftdi);
}
int __wrap_ftdi_usb_close(ftdi_context *ftdi) {
    ++closes;
    return __real_ftdi_usb_close(ftdi);
}
}

namespace {

const char *const null_ctx_message = "Can't call libftdi function, ctx handle is null";

template <typename F>
void expect_null_context_error(F &&f) {
    try {
        f();
        ADD_FAILURE() << "expected the null-context error";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), null_ctx_message);
    }
}

class FtdiOwnership : public ::testing::Test {
protected:
    void SetUp() override { frees = closes = 0; }
};

TEST_F(FtdiOwnership, MovedFromWrapperRefusesCallsAndFreesNothing) {
    {
        FtdiCtxWrapper source;
        ASSERT_TRUE(source.valid());
        FtdiCtxWrapper destination(std::move(source));
        expect_null_context_error([&] { source.call(ftdi_tcioflush); });
        EXPECT_TRUE(destination.valid());
    }
    EXPECT_EQ(frees, 1);
    EXPECT_EQ(closes, 1);
}

TEST_F(FtdiOwnership, MoveAssignmentFreesTheTargetsOwnContextFirst) {
    {
        FtdiCtxWrapper a;
        FtdiCtxWrapper b;
        b = std::move(a);
        EXPECT_EQ(frees, 1);
    }
    EXPECT_EQ(frees, 2);
    EXPECT_EQ(closes, 2);
}

TEST_F(FtdiOwnership, MovedFromDriverThrowsTheExactMessage) {
    {
        FtdiDriver source;
        FtdiDriver destination(std::move(source));
        expect_null_context_error([&] { source.set_latency_timer(1); });
        expect_null_context_error([&] { source.flush_buffers(); });
        expect_null_context_error([&] { source.open("X", Interface::a, Mode::syncff, 0xFF); });
        EXPECT_FALSE(source.opened());
    }
    EXPECT_EQ(frees, 1);
    EXPECT_EQ(closes, 1);
}

TEST_F(FtdiOwnership, MovedDeviceKeepsItsSerialAndFreesOnce) {
    {
        FtdiDevice<Interface::a, Mode::syncff, 0xFF> source("NOBOARD");
        auto destination = std::move(source);
        EXPECT_EQ(destination.serial_number(), "NOBOARD");
        expect_null_context_error([&] {
            unsigned char byte = 0;
            source.read(&byte, 1);
        });
    }
    EXPECT_EQ(frees, 1);
}

TEST(FtdiDriver, UnopenedDriverReturnsNegativeCodesWithoutThrowing) {
    FtdiDriver driver;
    EXPECT_FALSE(driver.opened());
    EXPECT_LT(driver.flush_buffers(), 0);
    EXPECT_LT(driver.flush_read_buffer(), 0);
    EXPECT_LT(driver.flush_write_buffer(), 0);
    EXPECT_LT(driver.set_latency_timer(255), 0);
    unsigned char byte = 0;
    EXPECT_LT(driver.read(&byte, 1), 0);
}

TEST(FtdiDriver, LatencyZeroIsPassedThroughToLibftdi) {
    FtdiDriver driver;
    EXPECT_LT(driver.set_latency_timer(0), 0);
}

TEST(FtdiDriver, EnumerationsCarryLibftdiValues) {
    EXPECT_EQ(static_cast<int>(Interface::a), 1);
    EXPECT_EQ(static_cast<int>(Mode::syncff), 0x40);
}

template <std::size_t N>
void fill(char (&buffer)[ftdi_string_size], const char (&text)[N]) {
    std::fill(std::begin(buffer), std::end(buffer), '\0');
    std::copy(text, text + N - 1, buffer);
}

TEST(FtdiStringMatch, EmptyTextMatchesEverything) {
    char buffer[ftdi_string_size];
    fill(buffer, "");
    EXPECT_TRUE(ftdi_string_matches(buffer, ""));
    fill(buffer, "ZUM");
    EXPECT_TRUE(ftdi_string_matches(buffer, ""));
}

TEST(FtdiStringMatch, DeviceStringMustBeginWithTheText) {
    char buffer[ftdi_string_size];
    fill(buffer, "PCB_ROQ rev B");
    EXPECT_TRUE(ftdi_string_matches(buffer, "PCB_ROQ"));
    EXPECT_FALSE(ftdi_string_matches(buffer, "PCB_ROQX"));
    fill(buffer, "ZU");
    EXPECT_FALSE(ftdi_string_matches(buffer, "ZUM"));
    fill(buffer, "AB");
    EXPECT_TRUE(ftdi_string_matches(buffer, "AB"));
    EXPECT_FALSE(ftdi_string_matches(buffer, "ABC1"));
}

TEST(FtdiStringMatch, TextsOf128BytesOrMoreMatchNothing) {
    char buffer[ftdi_string_size];
    std::fill(std::begin(buffer), std::end(buffer) - 1, 'S');
    buffer[ftdi_string_size - 1] = '\0';
    EXPECT_TRUE(ftdi_string_matches(buffer, std::string(127, 'S')));
    EXPECT_FALSE(ftdi_string_matches(buffer, std::string(128, 'S')));
    EXPECT_FALSE(ftdi_string_matches(buffer, std::string(200, 'S')));
}

} // namespace
