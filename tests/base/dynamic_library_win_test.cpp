// The real loader: a system DLL loads, counts and frees; a missing one fails quietly.
#include <gtest/gtest.h>
#include <windows.h>

#include "shared/base/dynamic_library.h"
#include "shared/base/win_handles.h"

TEST(DynamicLibraryWinTest, LoadsAndLooksUpASystemLibrary) {
    pm::DynamicLibrary lib("kernel32.dll");
    ASSERT_TRUE(lib.IsLoaded());
    EXPECT_EQ(lib.BaseName(), "KERNEL32");
    EXPECT_NE(lib.GetProc("GetTickCount"), nullptr);
    EXPECT_EQ(lib.GetProc("NoSuchFunctionHere"), nullptr);
}

TEST(DynamicLibraryWinTest, MissingLibraryFailsWithoutChangingTheErrorMode) {
    UINT before = SetErrorMode(0);
    SetErrorMode(before);
    pm::DynamicLibrary lib("no_such_library_4711.dll");
    EXPECT_FALSE(lib.IsLoaded());
    UINT after = SetErrorMode(before);
    EXPECT_EQ(after, before);
}

TEST(DynamicLibraryWinTest, HandleCloseKeepsLastError) {
    pm::win::unique_handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    SetLastError(1234);
    event.reset();
    EXPECT_EQ(GetLastError(), 1234u);
}
