#pragma once

#include <QHash>
#include <QWidget>

class DataSet;
class QToolButton;

// Buttons that move through a dataset and edit it: first, prior, next,
// last, insert, delete, edit, post, cancel, refresh. Each is enabled by the
// dataset's state (open, its current row, editable, editing), as the
// dataset changes. Delete asks first; a post or delete the dataset refuses
// shows its reason in a box.
class NavigatorBar : public QWidget {
    Q_OBJECT
public:
    enum Button { First, Prior, Next, Last, Insert, Delete, Edit, Post, Cancel, Refresh };
    Q_ENUM(Button)

    explicit NavigatorBar(DataSet *dataset, QWidget *parent = nullptr);

    DataSet *dataset() const { return m_dataset; }
    QToolButton *button(Button b) const { return m_buttons.value(b); }
    // Shows only these buttons (all by default).
    void setVisibleButtons(const QList<Button> &buttons);
    // Runs what a button does (as a click does, only when it is enabled).
    void click(Button b);

public slots:
    void updateButtons();

private:
    void run(Button b);

    DataSet *m_dataset;
    QHash<int, QToolButton *> m_buttons;
};

// Shows the dataset's editing failures (DataSet::error) in error boxes;
// once per dataset, however many grids and bars are bound to it.
void showDataSetErrors(DataSet *dataset, QWidget *parent);
