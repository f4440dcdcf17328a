#include "brix/form_data.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

using brix::FormData;
using Values = std::vector<std::string>;

// Cgilets are built against the same declaration and receive a FormData by address: its layout
// is the map alone.
static_assert(sizeof(FormData) == sizeof(std::map<std::string, Values>));
static_assert(!std::is_polymorphic<FormData>::value);

TEST(FormData, KeepsEveryValueOfANameInPutOrder) {
    FormData form;
    form.put("x", "first");
    form.put("x", "second");
    form.put("x", "first");
    EXPECT_EQ(form.get_value("x"), "first");
    EXPECT_EQ(form.fields.at("x"), (Values{"first", "second", "first"}));
}

TEST(FormData, EmptyValueIsStoredAsAValue) {
    FormData form;
    form.put("e", "");
    EXPECT_EQ(form.get_value("e"), "");
    EXPECT_EQ(form.fields.at("e"), Values{""});
}

TEST(FormData, LookingUpAnAbsentNameAddsItWithNoValues) {
    FormData form;
    EXPECT_TRUE(form.fields.empty());
    EXPECT_EQ(form.get_value("cgilet"), "");
    ASSERT_EQ(form.fields.count("cgilet"), 1u);
    EXPECT_TRUE(form.fields.at("cgilet").empty());

    form.put("cgilet", "hello");
    EXPECT_EQ(form.get_value("cgilet"), "hello");
    EXPECT_EQ(form.fields.at("cgilet"), Values{"hello"});
}

TEST(FormData, NamesAreCaseSensitiveBytesInAscendingOrder) {
    FormData form;
    form.put("name", "lower");
    form.put("Name", "upper");
    form.put(std::string("n\0z", 3), std::string("v\0w", 3));
    EXPECT_EQ(form.get_value("name"), "lower");
    EXPECT_EQ(form.get_value("Name"), "upper");
    EXPECT_EQ(form.get_value(std::string("n\0z", 3)), std::string("v\0w", 3));

    std::vector<std::string> names;
    for (const auto& field : form.fields) names.push_back(field.first);
    EXPECT_EQ(names, (std::vector<std::string>{"Name", std::string("n\0z", 3), "name"}));
}
