// Transaction records and the operations that append them to a list.
#pragma once

// Type codes of transaction_t::type.
constexpr int TYPE_DEPOSIT = 0;
constexpr int TYPE_WITHDRAWAL = 1;
constexpr int TYPE_TRANSFER = 2;
constexpr int TYPE_BALANCE = 3;

// One transaction, and one node of a singly linked list in file order.
struct transaction_t {
    int type;      // one of the TYPE_ codes
    int src;       // account debited, or whose balance is asked for
    int dest;      // account credited
    double amount;
    transaction_t *next;  // null at the last node
};

// Each load operation takes a new node, fills every field (the ones its kind
// does not use with 0), links it behind the last node of transaction_list,
// prints its "Loaded ..." line and returns the head of the list: the list it
// was given, or the new node when that was empty.
transaction_t *load_deposit(int type, int dest, double amount, transaction_t *transaction_list);
transaction_t *load_withdrawal(int type, int src, double amount, transaction_t *transaction_list);
transaction_t *load_transfer(int type, int src, int dest, double amount,
                             transaction_t *transaction_list);
transaction_t *load_balance(int type, int src, transaction_t *transaction_list);

// Ends the process after a failed heap allocation: the message on stderr,
// status 1. Standard output is flushed first and kept locked, so no other
// thread can leave half a line behind.
[[noreturn]] void exit_out_of_memory();
