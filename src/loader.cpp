#include "loader.h"

#include <cstdio>
#include <cstdlib>

void exit_out_of_memory() {
    flockfile(stdout);
    fflush(stdout);
    fputs("Memory could not be allocated, exiting\n", stderr);
    exit(1);
}

// Takes and fills a node and links it behind the last node of list; returns
// the head of the list.
static transaction_t *append_node(transaction_t *list, int type, int src, int dest,
                                  double amount) {
    transaction_t *node = static_cast<transaction_t *>(malloc(sizeof *node));
    if (node == nullptr) exit_out_of_memory();
    node->type = type;
    node->src = src;
    node->dest = dest;
    node->amount = amount;
    node->next = nullptr;
    if (list == nullptr) return node;
    transaction_t *last = list;
    while (last->next != nullptr) last = last->next;
    last->next = node;
    return list;
}

transaction_t *load_deposit(int type, int dest, double amount, transaction_t *transaction_list) {
    transaction_list = append_node(transaction_list, type, 0, dest, amount);
    puts("Loaded deposit transaction");
    return transaction_list;
}

transaction_t *load_withdrawal(int type, int src, double amount, transaction_t *transaction_list) {
    transaction_list = append_node(transaction_list, type, src, 0, amount);
    puts("Loaded withdrawal transaction");
    return transaction_list;
}

transaction_t *load_transfer(int type, int src, int dest, double amount,
                             transaction_t *transaction_list) {
    transaction_list = append_node(transaction_list, type, src, dest, amount);
    puts("Loaded transfer transaction");
    return transaction_list;
}

transaction_t *load_balance(int type, int src, transaction_t *transaction_list) {
    transaction_list = append_node(transaction_list, type, src, 0, 0.0);
    puts("Loaded balance transaction");
    return transaction_list;
}
