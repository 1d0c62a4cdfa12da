// element tree and builder: being written
