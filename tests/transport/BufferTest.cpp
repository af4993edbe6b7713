// The input and output buffers and the line-protocol reply record.
#include <gtest/gtest.h>

#include <string>

#include "transport/NetTCPConnection.h"

namespace {
std::string Contents(TNetSimpleBuffer& b) { return std::string(b.Memory(), b.Size()); }
}  // namespace

TEST(SimpleBuffer, RemoveExtractAndUnderflow) {
  TNetSimpleBuffer b;
  int64_t removed = 0;
  b.BytesRemoved = [&](TNetSimpleBuffer* sender, int64_t n) {
    EXPECT_EQ(sender, &b);
    removed += n;
  };
  b.WriteString("hello world");
  EXPECT_EQ(b.Extract(6), "hello ");
  EXPECT_EQ(Contents(b), "world");
  try {
    b.Remove(6);
    FAIL() << "removed more than held";
  } catch (const ENetNotEnoughDataInBuffer& e) {
    EXPECT_EQ(e.Message(), "Not enough data in buffer.");
  }
  EXPECT_THROW(b.Extract(6), ENetNotEnoughDataInBuffer);
  EXPECT_EQ(Contents(b), "world");  // unchanged by the failed calls
  b.Remove(5);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(removed, 11);
  b.Append("abc", 3);
  b.SetSize(5);  // grows with zero bytes
  EXPECT_EQ(Contents(b), std::string("abc\0\0", 5));
}

TEST(ManagedBuffer, DefersTheMoveUntilTheThreshold) {
  TNetManagedBuffer b;
  std::string data(40000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  b.Append(data.data(), static_cast<int64_t>(data.size()));
  for (int i = 1; i < 32768; ++i) {
    b.Remove(1);
    ASSERT_EQ(b.ConsumedCount(), i);
  }
  EXPECT_EQ(b.Memory()[0], data[32767]);
  b.Remove(1);  // the 32768th byte: the rest moves to the front
  EXPECT_EQ(b.ConsumedCount(), 0);
  EXPECT_EQ(b.Size(), 40000 - 32768);
  EXPECT_EQ(std::string(b.Memory(), b.Size()), data.substr(32768));

  // Positions and seeks are those of the unread bytes.
  b.Remove(100);
  EXPECT_EQ(b.ConsumedCount(), 100);
  EXPECT_EQ(b.Seek(0, soBeginning), 0);
  char c;
  ASSERT_EQ(b.Read(&c, 1), 1);
  EXPECT_EQ(c, data[32868]);
  EXPECT_EQ(b.Position(), 1);
  EXPECT_EQ(b.Seek(0, soEnd), b.Size());

  b.Remove(b.Size());  // removing everything resets the front too
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.ConsumedCount(), 0);
  b.Append("x", 1);
  b.Remove(1);
  EXPECT_EQ(b.ConsumedCount(), 0);
  EXPECT_THROW(b.Remove(1), ENetNotEnoughDataInBuffer);
}

TEST(ManagedBuffer, ReserveAndCommitAppendInPlace) {
  TNetManagedBuffer b;
  b.Append("ab", 2);
  b.Remove(1);
  char* tail = b.Reserve(10);
  tail[0] = 'c';
  tail[1] = 'd';
  b.Commit(2);
  EXPECT_EQ(std::string(b.Memory(), b.Size()), "bcd");
  b.Commit(1 << 20);  // more than reserved is refused
  EXPECT_EQ(b.Size(), 3);
}

TEST(RFCReply, CodesFollowEachOther) {
  TNetRFCReply r;
  r.SetTextCode("250");
  EXPECT_EQ(r.NumericCode(), 250);
  r.SetTextCode("abc");
  EXPECT_EQ(r.NumericCode(), 0);
  r.SetNumericCode(421);
  EXPECT_EQ(r.TextCode(), "421");
  r.SetNumericCode(0);
  EXPECT_EQ(r.TextCode(), "421");  // 0 leaves the text alone
  r.Text().Add("line");
  r.Clear();
  EXPECT_EQ(r.NumericCode(), 0);
  EXPECT_TRUE(r.TextCode().empty());
  EXPECT_TRUE(r.Text().Empty());
}
