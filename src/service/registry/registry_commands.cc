#include "service/registry/registry_commands.h"

#include <cstring>

#include "common/socket_io.h"
#include "service/registry/registry_replica.h"

int Reply(platform::Socket s, const char* text, int result) {
  NoteCommandReply(text);
  return SocketSendAll(s, text, std::strlen(text)) < 0 ? -1 : result;
}

bool IsPrefixOf(const char* word, const char* keyword) {
  size_t length = std::strlen(word);
  return length <= std::strlen(keyword) && std::strncmp(word, keyword, length) == 0;
}

int DispatchOperation(platform::Socket s, int argc, char** argv,
                      std::span<const RegistryOperation> operations, OperationMatch match,
                      CommandHandler show, const char* family_usage) {
  if (argc == 1) return show(s, argc, argv);
  if (argc < 2 || argv[1] == nullptr) return Reply(s, family_usage, 0);
  for (const RegistryOperation& operation : operations) {
    bool chosen = match == OperationMatch::kPrefix ? IsPrefixOf(argv[1], operation.name)
                                                   : std::strcmp(argv[1], operation.name) == 0;
    if (chosen) return operation.run(s, argc, argv);
  }
  return Reply(s, family_usage, 0);
}

int SaveOperation(platform::Socket s, int argc, const char* usage, int (*save)()) {
  if (argc != 2) return Reply(s, usage, 0);
  if (save() != 0) return Reply(s, "save error\r\n", 0);
  return 0;
}

int LoadOperation(platform::Socket s, int argc, const char* usage, int (*load)(),
                  CommandFamily family) {
  if (argc != 2) return Reply(s, usage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Load(family));
  }
  if (load() != 0) return Reply(s, "load error\r\n", kResultLoad);
  return kResultLoad;
}

int ClearOperation(platform::Socket s, int argc, const char* usage, void (*clear)(),
                   CommandFamily family) {
  if (argc != 2) return Reply(s, usage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Clear(family));
  }
  clear();
  return kResultClear;
}

int ReplyReplicaOutcome(platform::Socket s, ReplicaOutcome outcome) {
  switch (outcome) {
    case ReplicaOutcome::kDone:
      return 0;
    case ReplicaOutcome::kDuplicate:
      return Reply(s, "duplication of data\r\n", 0);
    case ReplicaOutcome::kNotRegistered:
      return Reply(s, "TARGET is not registered.\r\n", 0);
    case ReplicaOutcome::kLoadError:
      return Reply(s, "load error\r\n", 0);
    case ReplicaOutcome::kUnavailable:
      break;
  }
  return Reply(s, kClusterErrorReply, 0);
}
