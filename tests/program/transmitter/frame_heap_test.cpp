// The heap set-up of the frame path: frames of every accepted size come from the heap.
#include <gtest/gtest.h>
#include <malloc.h>

#include <memory>
#include <thread>

#include "NdiTransmitter.h"
#include "frame_heap.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXO_OWN_ALLOCATOR 1
#endif

TEST(FrameHeap, LargestAcceptedFrameIsNotMappedOnItsOwn)
{
#ifdef VEXO_OWN_ALLOCATOR
	GTEST_SKIP() << "the sanitizer's allocator takes no mallopt settings";
#else
	ASSERT_TRUE(prepare_frame_heap());
	EXPECT_GT(frame_heap_mmap_threshold(), static_cast<size_t>(NdiTransmitter::kMaxFrameBytes));
	// Chunks mapped on their own show in hblkhd; a frame buffer must not add to it, from the
	// main thread or from another (the acquisition thread's arena).
	auto mapped_for = [](size_t size) {
		const size_t before = mallinfo2().hblkhd;
		std::unique_ptr<uint8_t[]> frame(new uint8_t[size]);
		frame[size - 1] = 1;
		return mallinfo2().hblkhd - before;
	};
	EXPECT_EQ(mapped_for(NdiTransmitter::kMaxFrameBytes), 0u);
	// On 32-bit targets a new thread here may reuse an arena that earlier tests made before
	// the set-up (the program sets it up before its first thread); 64-bit arenas take it.
	if (sizeof(void*) == 8) {
		size_t from_thread = 1;
		std::thread([&] { from_thread = mapped_for(NdiTransmitter::kMaxFrameBytes); }).join();
		EXPECT_EQ(from_thread, 0u);
	}
#endif
}
