// queuemake MQ: creates a message queue under a name; an existing queue is reused as it is.
#include <sys/ipc.h>

#include <iostream>

#include "MsgQueue.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cout << "Usage: queuemake MQ" << std::endl << std::endl;
        return 255;
    }
    std::string name = argv[1];
    try {
        MsgQueue queue(name, 0, IPC_CREAT);
        std::cout << "Msgqueue [" << name << ", " << queue.getId() << "] was created successfully."
                  << std::endl;
    } catch (const MQException& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    return 0;
}
