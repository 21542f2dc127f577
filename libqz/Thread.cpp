#include "Thread.h"

#include <cerrno>
#include <cstdint>

int Thread::Start() {
    if (started) return EINVAL;
    int result = pthread_create(&id, nullptr, EntryPoint, this);
    started = result == 0;
    return result;
}

void* Thread::EntryPoint(void* object) {
    static_cast<Thread*>(object)->Run();
    return nullptr;
}

void Thread::pexit(int code) {
    pthread_exit(reinterpret_cast<void*>(static_cast<intptr_t>(code)));
}

int Thread::join() {
    if (!started) return EINVAL;
    started = false;
    return pthread_join(id, nullptr);
}

int Thread::detach() {
    if (!started) return EINVAL;
    started = false;
    return pthread_detach(id);
}
