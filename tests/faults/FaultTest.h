#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/BenchRig.h"
#include "support/Child.h"
#include "support/Lab.h"

// Faults on the network side, in the lab, for the sweep engine natively and under Wine: each case
// runs the sweep bench of its flavour on its own, with the lab's noise while it sweeps. Run by
// ctest in a lab session (`ctest --preset all -L faults`), which holds the Wine prefix's server
// in the scan namespace.
class FaultTest : public testing::TestWithParam<Flavour> {
  protected:
    void SetUp() override {
        if (labVariable("BRIXLE_LAB") != "1" || !insideScanNamespace())
            GTEST_SKIP() << "needs the lab: ctest --preset all -L faults (as root)";
        const std::string why = whyNotRunnable(GetParam());
        if (!why.empty())
            GTEST_SKIP() << why;
        const std::string noise = labVariable("BRIXLE_LAB_NOISE");
        ASSERT_TRUE(!noise.empty() && ::access(noise.c_str(), X_OK) == 0)
            << "no noise sender in the lab (BRIXLE_LAB_NOISE); bring the lab up with "
               "scripts/lab.sh";
        ASSERT_TRUE(std::filesystem::exists(benchProgram(GetParam())))
            << "no bench program at " << benchProgram(GetParam()) << " (build the preset first)";
        if (GetParam() != Flavour::native) {
            ASSERT_FALSE(labVariable("WINEPREFIX").empty())
                << "no Wine session: run through scripts/lab.sh session";
        }
        std::filesystem::create_directories(resultsDir());
    }

    static std::string resultsDir() {
        const std::string dir = labVariable("BRIXLE_RESULTS_DIR");
        return (dir.empty() ? buildRoot() + "/test-results" : dir) + "/faults";
    }

    // Output files named after the case and the flavour, for a look after a failure.
    std::string files(const std::string& name) const {
        return resultsDir() + "/" + name + "-" + flavourName(GetParam());
    }

    BenchRun run(const std::string& name, std::chrono::seconds limit,
                 const std::vector<std::string>& args,
                 const std::vector<std::vector<std::string>>& noise = {}) const {
        return runBench(benchCommand(GetParam()), args, files(name), limit, noise);
    }

    // What a check measured, printed whether it passes or not.
    void say(const std::string& check, const std::string& detail) const {
        std::printf("%s/%s: %s\n", check.c_str(), flavourName(GetParam()), detail.c_str());
        std::fflush(stdout);
    }

    std::string unfinished(const BenchRun& run, const std::string& name) const {
        return "the program did not finish its sweeps in time (exit " + std::to_string(run.status) +
               "; " + run.errors + "); see " + files(name) + ".out";
    }
};

inline std::string flavourOf(const testing::TestParamInfo<Flavour>& info) {
    return flavourName(info.param);
}
