// The module side: carrying out request blocks against the space, bounds-checked against a
// hostile client; the message ids and window names of the stand-in transport.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/posix_transport.h"

namespace korvalis {
namespace {

// Builds request blocks the way a client (honest or not) would.
struct BlockBuilder {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(request_block_size, 0);
    uint32_t pos = 0;
    BlockBuilder& u32(uint32_t value) {
        wire::put_u32(bytes.data() + pos, value);
        pos += 4;
        return *this;
    }
    BlockBuilder& read(uint32_t offset, uint32_t length) {
        u32(request_kind_read).u32(offset).u32(length).u32(0);
        pos += length;
        return *this;
    }
    BlockBuilder& write(uint32_t offset, std::vector<uint8_t> data) {
        u32(request_kind_write).u32(offset).u32(static_cast<uint32_t>(data.size()));
        std::memcpy(bytes.data() + pos, data.data(), data.size());
        pos += static_cast<uint32_t>(data.size());
        return *this;
    }
    std::span<uint8_t> span() { return bytes; }
};

TEST(ServeRequestBlock, CarriesOutReadsAndWritesInOrder) {
    ModuleSpace space{};
    space_put_u32(space, 0x02BC, 0x01020304);
    BlockBuilder b;
    b.read(0x02BC, 4).write(0x02BC, {9, 8, 7, 6}).read(0x02BC, 4).u32(0);
    const BlockOutcome outcome = serve_request_block(b.span(), space);
    EXPECT_EQ(outcome.answer, 1u);
    EXPECT_EQ(outcome.reads, 2u);
    EXPECT_EQ(outcome.writes, 1u);
    EXPECT_EQ(wire::get_u32(b.bytes.data() + 16), 0x01020304u);
    EXPECT_EQ(wire::get_u32(b.bytes.data() + 20 + 16 + 16), 0x06070809u);
    EXPECT_EQ(space_get_u32(space, 0x02BC), 0x06070809u);
}

TEST(ServeRequestBlock, HandshakeWordsStayAsTheModuleSetThem) {
    ModuleSpace space{};
    space_install_handshake(space, 0x19980005, 14);
    BlockBuilder b;
    b.write(0x330A, {0xD2, 0x07}).write(0x3300, std::vector<uint8_t>(16, 0xEE)).u32(0);
    const BlockOutcome outcome = serve_request_block(b.span(), space);
    EXPECT_EQ(outcome.answer, 1u);
    EXPECT_EQ(outcome.client_version, 2002u);
    EXPECT_EQ(space_get_u32(space, 0x3304), 0x19980005u);
    EXPECT_EQ(space_get_u32(space, 0x3308), 0xFADE000Eu);
    EXPECT_EQ(space_get_u32(space, 0x3300), 0xEEEEEEEEu) << "bytes beside them are stored";
    EXPECT_EQ(space_get_u32(space, 0x330C), 0xEEEEEEEEu);
}

struct MalformedCase {
    const char* name;
    void (*build)(BlockBuilder&);
    uint32_t reads_done;
};

const MalformedCase malformed_cases[] = {
    {"read beyond the space", [](BlockBuilder& b) { b.read(0xFFFE, 4).u32(0); }, 0},
    {"offset wraps 32 bits", [](BlockBuilder& b) { b.read(0xFFFFFFFF, 2).u32(0); }, 0},
    {"write beyond the space",
     [](BlockBuilder& b) {
         b.write(0xFFFF, {1, 2}).u32(0);
     },
     0},
    {"read data beyond the block",
     [](BlockBuilder& b) {
         b.read(0, 4).u32(request_kind_read).u32(0).u32(request_block_size).u32(0);
     },
     1},
    {"length wraps 32 bits",
     [](BlockBuilder& b) { b.read(0, 4).u32(request_kind_write).u32(0).u32(0xFFFFFFF8).u32(0); },
     1},
    {"unknown kind", [](BlockBuilder& b) { b.read(0, 4).u32(3).u32(0).u32(0).u32(0); }, 1},
    {"no end marker in the block",
     [](BlockBuilder& b) {
         while (b.pos + 16 <= request_block_size)
             b.read(0, 0);
     },
     request_block_size / 16},
    {"header cut off at the block's end",
     [](BlockBuilder& b) {
         b.read(0, 8);  // 24 + 16 k reaches 8 bytes before the end exactly
         while (b.pos + 16 <= request_block_size - 8)
             b.read(0, 0);
         b.u32(request_kind_read);
     },
     1 + (request_block_size - 8 - 24) / 16},
};

TEST(ServeRequestBlock, MalformedBlocksAreRefusedWithoutHarm) {
    for (const MalformedCase& c : malformed_cases) {
        SCOPED_TRACE(c.name);
        ModuleSpace space{};
        BlockBuilder b;
        c.build(b);
        const BlockOutcome outcome = serve_request_block(b.span(), space);
        EXPECT_EQ(outcome.answer, 0u);
        EXPECT_EQ(outcome.reads, c.reads_done);
        EXPECT_EQ(space_get_u32(space, 0), 0u);
    }
}

TEST(ServeRequestBlock, SmallerBlocksAreCheckedAgainstTheirOwnSize) {
    ModuleSpace space{};
    std::vector<uint8_t> tiny(10, 0);
    wire::put_u32(tiny.data(), request_kind_read);
    EXPECT_EQ(serve_request_block(tiny, space).answer, 0u);
    std::vector<uint8_t> two(2, 0);
    EXPECT_EQ(serve_request_block(two, space).answer, 0u);
}

TEST(ModuleSpace, AccessorsStayInsideTheSpace) {
    ModuleSpace space{};
    space_put_u32(space, 0xFFFC, 0xAABBCCDD);
    EXPECT_EQ(space_get_u32(space, 0xFFFC), 0xAABBCCDDu);
    space_put_u32(space, 0xFFFD, 1);  // would reach beyond: not stored
    EXPECT_EQ(space_get_u32(space, 0xFFFC), 0xAABBCCDDu);
    EXPECT_EQ(space_get_u32(space, 0xFFFD), 0u);
    EXPECT_EQ(space_get_u16(space, 0xFFFF), 0u);
    space_put_u16(space, 0x0D0C, 0x0020);
    EXPECT_EQ(space_get_u16(space, 0x0D0C), 0x0020u);
}

TEST(StandInMessageId, SameForEveryProcessAndCase) {
    const uint32_t id = stand_in_message_id("FsasmLib:IPC");
    EXPECT_EQ(id, 0xFB60u) << std::hex << id;  // the value docs/transport.md gives
    EXPECT_EQ(stand_in_message_id("fsasmlib:ipc"), id);
    EXPECT_GE(stand_in_message_id("x"), 0xC000u);
    EXPECT_LE(stand_in_message_id("x"), 0xFFFFu);
    EXPECT_EQ(stand_in_message_id(""), 0u);
    EXPECT_EQ(stand_in_message_id(std::string(256, 'a').c_str()), 0u);
    EXPECT_NE(stand_in_message_id(std::string(255, 'a').c_str()), 0u);
}

TEST(WindowSocketName, NamespaceAndClass) {
    char name[108];
    set_ipc_namespace("");
    size_t length = transport::window_socket_name("uipcMain", name, sizeof name);
    EXPECT_EQ(std::string(name, length), "korvalis-ipc/UIPCMAIN");
    set_ipc_namespace("t-42");
    length = transport::window_socket_name("FS98MAIN", name, sizeof name);
    EXPECT_EQ(std::string(name, length), "korvalis-ipc/t-42/FS98MAIN");
    set_ipc_namespace("bad/word");  // refused: the namespace stays
    length = transport::window_socket_name("FS98MAIN", name, sizeof name);
    EXPECT_EQ(std::string(name, length), "korvalis-ipc/t-42/FS98MAIN");
    set_ipc_namespace("");
    EXPECT_EQ(transport::window_socket_name("", name, sizeof name), 0u);
    EXPECT_EQ(transport::window_socket_name("A/B", name, sizeof name), 0u);
    EXPECT_EQ(transport::window_socket_name("A\nB", name, sizeof name), 0u);
    EXPECT_EQ(transport::window_socket_name(std::string(65, 'A').c_str(), name, sizeof name), 0u);
    EXPECT_EQ(transport::window_socket_name("UIPCMAIN", name, 10), 0u);
}

}  // namespace
}  // namespace korvalis
