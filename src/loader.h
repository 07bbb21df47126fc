// Transaction records and the operations that append them to a list.
#pragma once

// Type codes of transaction::type.
constexpr int type_deposit = 0;
constexpr int type_withdrawal = 1;
constexpr int type_transfer = 2;
constexpr int type_balance = 3;

// One transaction, and one node of a singly linked list in file order.
struct transaction {
    int type;  // one of the type_ codes
    int src;   // account debited, or whose balance is asked for
    int dest;  // account credited
    double amount;
    transaction* next;  // null at the last node
};

// Each load operation takes a new node, fills every field (the ones its kind
// does not use with 0), links it behind the last node of transaction_list,
// prints its "Loaded ..." line and returns the head of the list: the list it
// was given, or the new node when that was empty.
transaction* load_deposit(int type, int dest, double amount, transaction* transaction_list);
transaction* load_withdrawal(int type, int src, double amount, transaction* transaction_list);
transaction* load_transfer(int type, int src, int dest, double amount,
                           transaction* transaction_list);
transaction* load_balance(int type, int src, transaction* transaction_list);

// Releases every node of a list; a null list does nothing.
void free_transaction(transaction* transaction_list);
