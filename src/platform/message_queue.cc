#include "platform/message_queue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace platform {

namespace {

struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Message> messages;
};

// Process-wide table of live queues, keyed by thread id.
struct QueueTable {
  std::mutex mutex;
  std::unordered_map<ThreadId, std::shared_ptr<Queue>> queues;
};

QueueTable& Table() {
  static QueueTable* table = new QueueTable;  // never destroyed: threads may outlive statics
  return *table;
}

thread_local std::shared_ptr<Queue> t_queue;

std::shared_ptr<Queue> Find(ThreadId thread) {
  QueueTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.queues.find(thread);
  return it == table.queues.end() ? nullptr : it->second;
}

void Push(Queue& q, const Message& m) {
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.messages.push_back(m);
  }
  q.ready.notify_one();
}

}  // namespace

bool PostThreadMessage(ThreadId thread, uint32_t message, uint32_t wParam, uint32_t lParam) {
  std::shared_ptr<Queue> q = Find(thread);
  if (!q) return false;
  Push(*q, Message{message, wParam, lParam});
  return true;
}

void PostQuitMessage(uint32_t code) {
  if (t_queue) Push(*t_queue, Message{WM_QUIT, code, 0});
}

int GetMessageFor(Message* out, int timeout_ms) {
  if (out != nullptr) *out = Message{};
  std::shared_ptr<Queue> q = t_queue;
  if (!q || out == nullptr) return -1;
  std::unique_lock<std::mutex> lock(q->mutex);
  auto has_message = [&q] { return !q->messages.empty(); };
  if (timeout_ms < 0) {
    q->ready.wait(lock, has_message);
  } else if (!q->ready.wait_for(lock, std::chrono::milliseconds(timeout_ms), has_message)) {
    return -1;
  }
  *out = q->messages.front();
  q->messages.pop_front();
  return out->message == WM_QUIT ? 0 : 1;
}

bool GetMessage(Message* out) { return GetMessageFor(out, -1) == 1; }

void AttachMessageQueue() {
  if (t_queue) return;
  auto q = std::make_shared<Queue>();
  QueueTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.queues[CurrentThreadId()] = q;
  t_queue = q;
}

void DetachMessageQueue() {
  if (!t_queue) return;
  QueueTable& table = Table();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.queues.find(CurrentThreadId());
    if (it != table.queues.end() && it->second == t_queue) table.queues.erase(it);
  }
  t_queue.reset();
}

uint32_t RegisterMessage(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  static std::mutex* mutex = new std::mutex;
  static auto* names = new std::map<std::string, uint32_t>;
  std::lock_guard<std::mutex> lock(*mutex);
  auto it = names->find(name);
  if (it != names->end()) return it->second;
  if (names->size() >= 0x4000) return 0;  // the registered range 0xC000..0xFFFF is full
  uint32_t number = 0xC000 + static_cast<uint32_t>(names->size());
  names->emplace(name, number);
  return number;
}

}  // namespace platform
