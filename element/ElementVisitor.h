// Double dispatch over the element kinds: each kind's accept() calls the operation for its class.
#pragma once

class PersistentElem;  // no kind of this system is one; the hook exists for visitors
class CompositeElem;
class MapElem;
class ListElem;
class IntegerElem;
class BooleanElem;
class DoubleElem;
class StringElem;
class BinaryElem;
class NullElem;
class ObjectStoreException;

class ElementVisitor {
 public:
  virtual void visitorAtPersistentElem(PersistentElem* element) = 0;
  virtual void visitorAtCompositeElem(CompositeElem* element) = 0;
  virtual void visitorAtMapElem(MapElem* element) = 0;
  virtual void visitorAtListElem(ListElem* element) = 0;
  virtual void visitorAtIntegerElem(IntegerElem* element) = 0;
  virtual void visitorAtBooleanElem(BooleanElem* element) = 0;
  virtual void visitorAtDoubleElem(DoubleElem* element) = 0;
  virtual void visitorAtStringElem(StringElem* element) = 0;
  virtual void visitorAtBinaryElem(BinaryElem* element) = 0;
  virtual void visitorAtNullElem(NullElem* element) = 0;
  virtual void visitorAtObjectStoreException(ObjectStoreException* exception) = 0;
  virtual ~ElementVisitor() = default;
};
