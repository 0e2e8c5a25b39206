#pragma once
// The hand-off reader's fixture: a reader on a program folder of its own
// (`sub` below a fresh temp folder), and the list it merges into.

#include "core/FileIO.h"
#include "core/RecipientList.h"
#include "files/HandoffReader.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace telvoro {

class HandoffFixture : public ::testing::Test {
protected:
    explicit HandoffFixture(const std::filesystem::path& sub = {})
        : folder_(std::filesystem::path(dir_.path) / sub) {
        std::filesystem::create_directories(folder_);
    }
    void Drop(const std::string& bytes) { WriteWholeFile(reader_.HandoffPath(), bytes); }
    // "Customer=Phone" for each entry of the list.
    std::vector<std::string> Phones() const {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < list_.Count(); ++i)
            out.push_back(list_.At(i).Customer + "=" + list_.At(i).Phone);
        return out;
    }
    bool NoFilesLeft() const {
        return !std::filesystem::exists(reader_.HandoffPath()) &&
               !std::filesystem::exists(reader_.ClaimedPath());
    }

    TempFolder dir_;
    std::filesystem::path folder_;
    RecipientList list_;
    HandoffReader reader_{list_, ProgramFolder(folder_)};
};

} // namespace telvoro
