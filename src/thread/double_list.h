#pragma once

// Owning doubly linked list with one iteration cursor. Freeing an element deletes its item
// (through the item's virtual destructor) unless the item was taken out first with Remove.
template <typename T>
struct TListElement {
    TListElement* prev = nullptr;
    TListElement* next = nullptr;
    T* item = nullptr;
};

template <typename T>
class TDoubleList {
public:
    using Element = TListElement<T>;

    TDoubleList() = default;
    TDoubleList(const TDoubleList&) = delete;
    TDoubleList& operator=(const TDoubleList&) = delete;
    ~TDoubleList() { Clear(); }

    void Append(T* item) {
        Element* element = new Element;
        element->item = item;
        if (first == nullptr) {
            first = last = cursor = element;
        } else {
            element->prev = last;
            last->next = element;
            last = element;
        }
    }

    T* First() {
        cursor = first;
        return cursor ? cursor->item : nullptr;
    }

    T* Next() {
        cursor = cursor ? cursor->next : first;
        return cursor ? cursor->item : nullptr;
    }

    // Unlinks the first element holding `item` without deleting the item. A removed cursor
    // steps back to its predecessor so that Next continues after the removed element.
    T* Remove(T* item) {
        Element* element = first;
        while (element != nullptr && element->item != item) element = element->next;
        if (element == nullptr) return nullptr;
        if (element->prev) element->prev->next = element->next; else first = element->next;
        if (element->next) element->next->prev = element->prev; else last = element->prev;
        if (cursor == element) cursor = element->prev;
        delete element;
        return item;
    }

    // Frees every element, first to last, deleting each item.
    void Clear() {
        Element* element = first;
        first = last = cursor = nullptr;
        while (element != nullptr) {
            Element* next = element->next;
            delete element->item;
            delete element;
            element = next;
        }
    }

    Element* first = nullptr;
    Element* last = nullptr;
    Element* cursor = nullptr;
};
