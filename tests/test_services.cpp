// The host's services by name and the owners that answer them.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "host/filter_session.h"
#include "host/messages.h"
#include "host/services.h"

TEST(ServiceOwners, ThePlainOfferOfANameDoesNotHideItsNewestOwner) {
    host::MessageLog log;
    const auto* service = static_cast<const MessageService*>(host::host_global("Info Messages 2", 0));
    const MessageService other{};
    {
        host::OfferedService over("Info Messages 2", const_cast<MessageService*>(&other));
        EXPECT_EQ(host::host_global("Info Messages 2", 0), &other);
        service->show_error("kept", nullptr);
    }
    EXPECT_EQ(log.messages(), (std::vector<host::Message>{{"kept", std::nullopt}}));
}

TEST(ServiceOwnersDeathTest, EndingAnOwnerBeforeANewerOneStopsTheProgram) {
    const std::function<void()> out_of_order[] = {
        [] {
            auto outer = std::make_unique<host::MessageLog>();
            host::MessageLog inner;
            outer.reset();
        },
        [] {
            int first = 0, second = 0;
            auto outer = std::make_unique<host::OfferedService>("Test Service", &first);
            host::OfferedService inner("Test Service", &second);
            outer.reset();
        },
        [] {
            const host::Frame input(1, 1);
            host::Frame output(1, 1), inner_output(1, 1);
            auto outer = std::make_unique<host::FilterSession>(input, output);
            host::FilterSession inner(input, inner_output);
            outer.reset();
        },
    };
    for (const auto& end : out_of_order) EXPECT_DEATH(end(), "ended before one made after it");
}
