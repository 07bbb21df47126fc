#include "loader.h"

#include <cstdio>
#include <cstdlib>

#include "process_end.h"

namespace {

// Takes and fills a node and links it behind the last node of list; returns
// the head of the list.
transaction* append_node(transaction* list, int type, int src, int dest, double amount) {
    transaction* node = static_cast<transaction*>(malloc(sizeof *node));
    if (node == nullptr) exit_out_of_memory();
    node->type = type;
    node->src = src;
    node->dest = dest;
    node->amount = amount;
    node->next = nullptr;
    if (list == nullptr) return node;
    transaction* last = list;
    while (last->next != nullptr) last = last->next;
    last->next = node;
    return list;
}

}  // namespace

transaction* load_deposit(int type, int dest, double amount, transaction* transaction_list) {
    transaction_list = append_node(transaction_list, type, 0, dest, amount);
    puts("Loaded deposit transaction");
    return transaction_list;
}

transaction* load_withdrawal(int type, int src, double amount, transaction* transaction_list) {
    transaction_list = append_node(transaction_list, type, src, 0, amount);
    puts("Loaded withdrawal transaction");
    return transaction_list;
}

transaction* load_transfer(int type, int src, int dest, double amount,
                           transaction* transaction_list) {
    transaction_list = append_node(transaction_list, type, src, dest, amount);
    puts("Loaded transfer transaction");
    return transaction_list;
}

transaction* load_balance(int type, int src, transaction* transaction_list) {
    transaction_list = append_node(transaction_list, type, src, 0, 0.0);
    puts("Loaded balance transaction");
    return transaction_list;
}

void free_transaction(transaction* transaction_list) {
    while (transaction_list != nullptr) {
        transaction* next = transaction_list->next;
        free(transaction_list);
        transaction_list = next;
    }
}
