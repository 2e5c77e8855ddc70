// Shared helpers of the XML tests.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

// Runs `statement` and expects a library error whose message is exactly `expected` (1251).
#define EXPECT_QV_ERROR(statement, expected)                                      \
  do {                                                                            \
    try {                                                                         \
      statement;                                                                  \
      ADD_FAILURE() << "no error raised by " #statement;                          \
    } catch (const qv::CVorlentException& error__) {                              \
      EXPECT_EQ(qv::Cp1251ToUtf8(error__.Message()), qv::Cp1251ToUtf8(expected)); \
    }                                                                             \
  } while (0)
