// Path device stacks under Plug and Play, as the whole testbed brings them up: the fabric's paths
// with the tape class driver stand-in on each, stopped and started, removed, pulled and brought
// back while the rest of the machine carries on.
#include "machine/testbed.h"

#include <gtest/gtest.h>

namespace {

using vyr::sim::Fabric;
using vyr::sim::Machine;
using vyr::sim::Topology;

struct PathNode {
    hk::DevNode *node;
    std::string instanceId;
    hk::DevNodeState state;
    std::vector<std::string> stack;
};

std::vector<PathNode> PathNodes()
{
    std::vector<PathNode> out;
    for (const hk::DevNodeInfo &info : hk::DeviceTree())
        if (info.instanceId.rfind("SCSI\\", 0) == 0)
            out.push_back({info.node, info.instanceId, info.state, info.stack});
    return out;
}

class PathStates : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_ = std::make_unique<Machine>();
        vyr::sim::InstallTestbed(*machine_);
        machine_->Boot();
        fabric_ = std::make_unique<Fabric>();
        Topology topology;
        topology.drives = 2;
        topology.pathsPerDrive = 2;
        ASSERT_EQ(fabric_->Build(topology), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        fabric_.reset();
        machine_.reset(); // shutdown: the verifier's leak checks
    }
    std::unique_ptr<Machine> machine_;
    std::unique_ptr<Fabric> fabric_;
};

TEST_F(PathStates, EveryPathHasTheClassDriverOnTheFabricsDevice)
{
    std::vector<PathNode> paths = PathNodes();
    ASSERT_EQ(paths.size(), 4u);
    for (const PathNode &p : paths) {
        EXPECT_EQ(p.state, hk::DevNodeState::Started) << p.instanceId;
        EXPECT_EQ(p.stack, (std::vector<std::string>{"vyrfab", "vyrtp2k16"})) << p.instanceId;
    }
    // The class key holds the slot the path filter will take.
    std::vector<std::string> filters{"unset"};
    EXPECT_TRUE(hk::RegGetMultiString(
        "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{6D807884-7D21-11CF-801C-08002BE10318}",
        "UpperFilters", &filters));
    EXPECT_TRUE(filters.empty());
}

TEST_F(PathStates, AStoppedPathStartsAgainAndKeepsItsName)
{
    auto process = hk::Process::Create("app");
    for (const PathNode &p : PathNodes()) {
        EXPECT_EQ(hk::RebalanceDevice(p.node), STATUS_SUCCESS) << p.instanceId;
        EXPECT_EQ(hk::NodeState(p.node), hk::DevNodeState::Started);
    }
    for (int n = 0; n < 4; n++) {
        std::string name = "\\\\.\\VyrTapePath" + std::to_string(n);
        HANDLE h = process->CreateFile(name);
        ASSERT_NE(h, hk::INVALID_HANDLE) << name << " status " << std::hex << process->LastStatus();
        EXPECT_TRUE(process->CloseHandle(h));
    }
}

TEST_F(PathStates, RemovingOnePathLeavesTheOthers)
{
    std::vector<PathNode> before = PathNodes();
    ASSERT_EQ(hk::RemoveDevice(before[0].node), STATUS_SUCCESS);
    int started = 0;
    for (const PathNode &p : PathNodes())
        started += p.state == hk::DevNodeState::Started;
    EXPECT_EQ(started, 3);
    EXPECT_EQ(hk::NodeState(before[0].node), hk::DevNodeState::Removed);
    // The class driver stays loaded for the paths it still drives.
    EXPECT_NE(hk::FindDriver("vyrtp2k16"), nullptr);
}

TEST_F(PathStates, APulledPathComesBackAsANewNode)
{
    std::vector<FabDriveEntry> drives;
    std::vector<FabPathEntry> paths;
    ASSERT_EQ(fabric_->QueryTopology(&drives, &paths), STATUS_SUCCESS);
    ASSERT_EQ(paths.size(), 4u);
    ASSERT_EQ(fabric_->PullPath(paths[1].Index), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    EXPECT_EQ(PathNodes().size(), 3u);
    ASSERT_EQ(fabric_->RestorePath(paths[1].Index), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    std::vector<PathNode> after = PathNodes();
    ASSERT_EQ(after.size(), 4u);
    for (const PathNode &p : after)
        EXPECT_EQ(p.state, hk::DevNodeState::Started) << p.instanceId;
}

TEST_F(PathStates, AllPathsPulledAndTheMachineStillShutsDownClean)
{
    std::vector<FabPathEntry> paths;
    ASSERT_EQ(fabric_->QueryTopology(nullptr, &paths), STATUS_SUCCESS);
    for (const FabPathEntry &p : paths)
        ASSERT_EQ(fabric_->PullPath(p.Index), STATUS_SUCCESS);
    hk::WaitPnpIdle();
    EXPECT_TRUE(PathNodes().empty());
    // With no device left, the class driver has unloaded.
    EXPECT_EQ(hk::FindDriver("vyrtp2k16"), nullptr);
}

} // namespace
