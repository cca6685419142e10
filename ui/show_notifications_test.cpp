// The show-notifications rules: the effective value, the check item, the
// policy reconciliation and the bus setter.
#include <gtest/gtest.h>

#include "show_notifications.hpp"

namespace {

using kv::ui::Reconcile;
using kv::ui::ShowNotificationsSetting;

TEST(ShowNotificationsTest, EffectiveValueFollowsPolicyUntilTheUserChoosesThenKeepsTheChoice) {
    ShowNotificationsSetting s;
    EXPECT_FALSE(s.effective());
    s.policy_default = true;
    EXPECT_TRUE(s.effective());
    // The policy switches it on through the item; the item's own toggle is
    // the program's, so the mark stays clear.
    EXPECT_EQ(kv::ui::reconcile_with_policy(s, true, false), Reconcile::save_and_set_item);
    EXPECT_TRUE(s.stored && s.programmatic);
    kv::ui::on_item_toggled(s, true);
    EXPECT_FALSE(s.programmatic);
    EXPECT_FALSE(s.user_changed);
    // The user unticks: from now on the policy's "OK" no longer wins.
    kv::ui::on_item_toggled(s, false);
    EXPECT_TRUE(s.user_changed);
    EXPECT_FALSE(s.effective());
    EXPECT_EQ(kv::ui::reconcile_with_policy(s, true, false), Reconcile::none);
    EXPECT_FALSE(s.stored);
}

TEST(ShowNotificationsTest, ReconciliationTakesTheItemStateAndEmitsWithoutAnItem) {
    ShowNotificationsSetting s;
    s.policy_default = true;
    s.stored = true;
    // The item says off (a value set elsewhere that it does not mirror):
    // the item's state is the stored value, then the policy is applied.
    EXPECT_EQ(kv::ui::reconcile_with_policy(s, true, false), Reconcile::save_and_set_item);
    EXPECT_TRUE(s.stored);
    ShowNotificationsSetting no_item;
    no_item.policy_default = true;
    EXPECT_EQ(kv::ui::reconcile_with_policy(no_item, false, false), Reconcile::save_and_emit);
    EXPECT_TRUE(no_item.stored);
    EXPECT_EQ(kv::ui::reconcile_with_policy(no_item, false, false), Reconcile::none);
}

TEST(ShowNotificationsTest, BusSetterTakesOnlyTheExactLowerCaseTrue) {
    const struct {
        const char* argument;
        bool value;
    } cases[] = {{"true", true}, {"TRUE", false}, {"True", false}, {"false", false}, {"true ", false}, {"", false},
                 {nullptr, false}};
    for (const auto& c : cases) {
        ShowNotificationsSetting s;
        s.stored = !c.value;
        kv::ui::set_from_bus(s, c.argument);
        EXPECT_EQ(s.stored.load(), c.value) << (c.argument != nullptr ? c.argument : "(null)");
        EXPECT_TRUE(s.user_changed);
        EXPECT_EQ(s.effective(), c.value);
    }
}

}  // namespace
