#include "common/id_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using Orvane::Common::IdTable;

TEST(IdTable, AddFindVisitRemove) {
    IdTable<int, std::shared_ptr<std::string>> table;
    EXPECT_TRUE(table.Add(1, std::make_shared<std::string>("one")));
    EXPECT_FALSE(table.Add(1, std::make_shared<std::string>("again")));  // the first stays
    table.Set(2, std::make_shared<std::string>("two"));
    ASSERT_TRUE(table.Find(1));
    EXPECT_EQ(*table.Find(1), "one");
    EXPECT_FALSE(table.Find(3));

    std::string seen;
    EXPECT_TRUE(table.Visit(2, [&](const std::shared_ptr<std::string>& v) { seen = *v; }));
    EXPECT_EQ(seen, "two");
    EXPECT_FALSE(table.Visit(3, [&](const std::shared_ptr<std::string>&) { seen = "called"; }));
    EXPECT_EQ(seen, "two");

    EXPECT_FALSE(table.RemoveIf(2, [](const std::shared_ptr<std::string>& v) { return *v == "one"; }));
    EXPECT_EQ(table.Size(), 2u);
    const auto kept = table.Find(1);
    EXPECT_EQ(table.Remove(1), kept);
    EXPECT_FALSE(table.Remove(1));
    EXPECT_EQ(*kept, "one");  // a value found before the remove stays alive

    table.Set(0, nullptr);
    const auto snapshot = table.Snapshot();
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot[0].first, 0);
    EXPECT_EQ(snapshot[1].first, 2);
    EXPECT_EQ(table.TakeAll().size(), 2u);
    EXPECT_EQ(table.Size(), 0u);
}
